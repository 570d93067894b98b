// Entry of zrq-offsets: --help, --version and --summary are answered before any toolkit object
// exists (no display needed); otherwise the window "校时记录" over the given folder's records.
#include <QApplication>
#include <cstdio>

#include "base/local_clock.h"
#include "timecode/offset_reading.h"
#include "viewer/offsets_command_line.h"
#include "viewer/offsets_window.h"

namespace {

// Today's "yymmdd" by the PC clock, which this program only reads.
std::string today() {
    zrq::SystemClock clock;
    return zrq::recordDayOf(clock.now());
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = zrq::answerOffsetsRequest(argc, argv, stdout, stderr, today)) {
        return *status;
    }
    QApplication app(argc, argv);  // takes the toolkit's own arguments out of argv
    QApplication::setApplicationName(QStringLiteral("zrq-offsets"));
    const auto arguments = zrq::viewerArguments(argc, argv, stderr);
    if (!arguments) return 2;
    zrq::OffsetsWindow window(arguments->folder, today);
    window.show();
    return QApplication::exec();
}
