// The program's five windows, created once in their fixed order and living for the whole run.
#pragma once

#include <memory>

#include "app/about_box.h"
#include "app/main_bar.h"
#include "app/startup.h"
#include "dialogs/monitor_window.h"
#include "dialogs/port_dialog.h"
#include "dialogs/settings_dialog.h"

namespace zrq {

class ProgramWindows {
public:
    // Creates TForm1 (running its FormCreate), TAboutBox, TForm2, TForm3 and TForm4 in this
    // order. Only the bar is to be shown; the others open modally from its menu.
    explicit ProgramWindows(const AppContext& context);
    // Stops the receiver before any window goes, so no chunk reaches a destroyed window.
    ~ProgramWindows();

    ProgramWindows(const ProgramWindows&) = delete;
    ProgramWindows& operator=(const ProgramWindows&) = delete;

    TForm1& bar() { return *bar_; }
    TAboutBox& aboutBox() { return *aboutBox_; }
    TForm2& settingsDialog() { return *settingsDialog_; }
    TForm3& monitorWindow() { return *monitorWindow_; }
    TForm4& portDialog() { return *portDialog_; }

private:
    std::unique_ptr<TForm1> bar_;
    std::unique_ptr<TAboutBox> aboutBox_;
    std::unique_ptr<TForm2> settingsDialog_;
    std::unique_ptr<TForm3> monitorWindow_;
    std::unique_ptr<TForm4> portDialog_;
};

}  // namespace zrq
