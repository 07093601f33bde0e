#pragma once

#include "run_state.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

class Clock;
class ProfileTable;
class RunView;
struct FormatSettings;

/// The backup engine: folder scan, file update, transfer pass and profile runs.
/// Never touches a widget; talks to the window through RunView only.
class Engine {
public:
    Engine(ProfileTable& table, RunView& view, RunState& state, const FormatSettings& format,
           const Clock& clock);

    /// Lists every folder below `source` (not entering names that begin with ".") and
    /// appends each with its twin below `target`.
    void ScanFolderTree(std::vector<std::string>& sourceList, std::vector<std::string>& targetList,
                        const std::string& source, const std::string& target);

    /// Compares one file with its twin and copies it when the options say so.
    void UpdateFile(const std::string& sourceFolder, const std::string& fileName,
                    const std::string& targetFolder, const std::string& targetName,
                    const std::string& optionCode);

    /// One transfer pass from SourceFolder to TargetFolder for row SelectedRow. throw RuntimeError
    void transferPass();
    /// Runs the profile in row SelectedRow ("Run Selected Profile"). Never throws.
    void runProfile();
    /// Runs every profile in turn ("Run All Profiles"). Never throws.
    void runAll();

    std::string GetComputerNameText() const;
    std::string DateStampText() const;

private:
    ProfileTable& table_;
    RunView& view_;
    RunState& state_;
    const FormatSettings& format_;
    const Clock& clock_;
};

} // namespace qm
