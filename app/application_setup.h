// The application object's program-wide settings: its title, what keeps it running and the
// language of the toolkit's own texts.
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

// Loads the toolkit's own Chinese texts (its file dialogs, a text field's menu) from its
// translations folder, so that they match the program's Chinese interface. False when they are
// not installed: those texts then stay English.
bool loadToolkitTranslations();

}  // namespace zrq
