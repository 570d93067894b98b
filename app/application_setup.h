// The application object's program-wide settings: its title and what keeps it running.
#pragma once

namespace zrq {

inline constexpr const char* kApplicationTitle = "ZRQ";
// The desktop entry's name without ".desktop": docks and task switchers find the icon and name
// of the program's windows through it.
inline constexpr const char* kDesktopFileName = "org.horivo.Zrq";

// Sets the application title and desktop entry, and keeps the program alive when its last window
// closes (the bar is a tool window, and message boxes close before it). Window captions stay
// exactly as each window names them: no application name is added to them.
void configureApplication();

}  // namespace zrq
