// Failing writes of one family of files (a daily log, the offset record) said once per change of
// state: which file, what failed, the system's reason; and, when writing works again, how many
// entries were lost meanwhile.
#pragma once

#include <string>

#include "base/journal.h"
#include "base/message_boxes.h"
#include "store/daily_file.h"

namespace zrq {

class WriteTrouble {
public:
    // `journal` may be null: the failures then reach only the boxes.
    WriteTrouble(MessageBoxes& boxes, Journal* journal);

    // After each append to `path`: its outcome and errno. A failure that starts or changes (other
    // file, other reason, other step) goes to the journal, and a file that cannot be opened shows
    // the warning "File access error" once; the same failure again is only counted. The first
    // success after failures says how many entries were lost. Full is no failure here. Allocates
    // only when the state changes.
    void note(const std::string& path, Appended outcome, int error);

    bool failing() const { return failing_; }
    long lostEntries() const { return lost_; }

private:
    void failureChanged(const std::string& path, Appended outcome, int error);

    MessageBoxes& boxes_;
    Journal* journal_;
    bool failing_ = false;
    std::string path_;  // the failing file
    Appended outcome_ = Appended::Written;
    int error_ = 0;
    long lost_ = 0;  // entries lost since the failure began
};

}  // namespace zrq
