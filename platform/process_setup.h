#pragma once

namespace qm {

/// Prepares the process for a run, once: a file-size limit becomes an ordinary EFBIG of the
/// one write instead of SIGXFSZ ending the program, and the soft limit on open descriptors
/// is raised to the hard one, since a pass holds its folders and a batch its copies open.
void prepareProcessForRuns();

/// Open descriptors the process may hold (the soft limit after preparation).
int openDescriptorLimit();

} // namespace qm
