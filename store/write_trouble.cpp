// Write failures told on a change of state only: a full disk at a frame a second would otherwise
// be a journal entry (and in the bar a modal box) every second.
#include "store/write_trouble.h"

#include "base/system_calls.h"

namespace zrq {
namespace {

constexpr const char* kFileAccessError = "File access error";

}  // namespace

WriteTrouble::WriteTrouble(MessageBoxes& boxes, Journal* journal)
    : boxes_(boxes), journal_(journal) {}

void WriteTrouble::note(const std::string& path, Appended outcome, int error) {
    if (outcome == Appended::Written || outcome == Appended::Full) {
        if (failing_ && journal_ != nullptr) {
            journal_->writeUtf8(path + " is written again; " + std::to_string(lost_) +
                                " entries were lost while writing failed");
        }
        failing_ = false;
        lost_ = 0;
        return;
    }
    const bool same = failing_ && outcome == outcome_ && error == error_ && path == path_;
    ++lost_;
    if (!same) failureChanged(path, outcome, error);
}

void WriteTrouble::failureChanged(const std::string& path, Appended outcome, int error) {
    failing_ = true;
    path_ = path;
    outcome_ = outcome;
    error_ = error;
    if (journal_ != nullptr) {
        const char* step = outcome == Appended::NotOpened ? "cannot open " : "cannot write to ";
        journal_->writeUtf8(std::string(kFileAccessError) + ": " + step + path + ": " +
                            errorText(error) +
                            "; its entries are lost until it can be written again");
    }
    // The warning belongs to a file that cannot be opened; a write that fails after the open is
    // the journal's alone.
    if (outcome == Appended::NotOpened) boxes_.warning(GbkText::fromBytes(kFileAccessError));
}

}  // namespace zrq
