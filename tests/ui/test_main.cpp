#include "quillmark_application.h"
#include "scripted_shell.h"

#include <gtest/gtest.h>

namespace {
ScriptedShell* appShell = nullptr;
}

ScriptedShell& applicationShell() {
    return *appShell;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Widget tests never need a display, not even when listed at build time.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qm::QuillmarkApplication app(argc, argv);
    ScriptedShell shell;
    appShell = &shell;
    app.setShell(&shell);
    const int result = RUN_ALL_TESTS();
    app.setShell(nullptr);
    return result;
}
