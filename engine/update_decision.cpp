#include "update_decision.h"

#include "file_ops.h"
#include "file_time.h"
#include "profile_table.h"

namespace qm {

namespace {

int compareExact(const timespec& a, const timespec& b) {
    if (a.tv_sec != b.tv_sec)
        return a.tv_sec < b.tv_sec ? -1 : 1;
    if (a.tv_nsec != b.tv_nsec)
        return a.tv_nsec < b.tv_nsec ? -1 : 1;
    return 0;
}

/// More than the two seconds of a DOS stamp apart.
bool apartBeyondAStamp(const timespec& a, const timespec& b) {
    const long double seconds = static_cast<long double>(a.tv_sec) - b.tv_sec +
                                (static_cast<long double>(a.tv_nsec) - b.tv_nsec) / 1e9L;
    return seconds > 2 || seconds < -2;
}

} // namespace

TargetOrder orderTarget(const timespec& sourceTime, const std::optional<PathStatus>& target,
                        bool exactTimes) {
    if (!target || target->kind == EntryKind::Folder)
        return TargetOrder::Missing;
    const int exact = compareExact(target->mtime, sourceTime);
    if (exact == 0)
        return TargetOrder::Equal; // the usual case after a copy: no local-time conversion
    if (exactTimes && apartBeyondAStamp(target->mtime, sourceTime))
        return exact < 0 ? TargetOrder::Older : TargetOrder::Newer;
    std::int32_t sourceStamp = dosDateTimeFromTime(sourceTime);
    std::int32_t targetStamp = dosDateTimeFromTime(target->mtime);
    int order = (sourceStamp != -1 && targetStamp != -1) ? compareStamps(targetStamp, sourceStamp)
                                                         : compareExact(target->mtime, sourceTime);
    if (order == 0)
        return TargetOrder::Equal;
    return order < 0 ? TargetOrder::Older : TargetOrder::Newer;
}

UpdateAction decideUpdate(const std::string& optionCode, TargetOrder order) {
    if (order == TargetOrder::Equal)
        return UpdateAction::Skip;
    if (order == TargetOrder::Missing)
        return UpdateAction::Write;
    if (optionPrompt(optionCode))
        return UpdateAction::Ask;
    bool older = order == TargetOrder::Older;
    if (optionOlderOnly(optionCode))
        return older ? UpdateAction::Write : UpdateAction::Skip;
    return older ? UpdateAction::Skip : UpdateAction::Write;
}

std::string overwriteQuestion(bool sourceNewer, const std::string& fileName,
                              const std::string& sourceTimeText, const std::string& targetName,
                              const std::string& targetTimeText) {
    std::string text =
        sourceNewer ? "SOURCE FILE NEWER THAN TARGET !!! " : "TARGET FILE NEWER THAN SOURCE !!! ";
    text += "\r\r";
    text += " Source ->" + fileName + "  " + sourceTimeText + "\r";
    text += " Target ->" + targetName + "  " + targetTimeText + "\r\r";
    text += "Overwrite Target/Destination?";
    return text;
}

} // namespace qm
