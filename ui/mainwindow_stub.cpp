// Replaced by the window.
