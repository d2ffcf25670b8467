// The desktop's autostart entry that starts the program in the tray when the
// user logs in: $XDG_CONFIG_HOME/autostart/mailgrove.desktop (~/.config when
// unset), running "mailgrove --hidden".
#pragma once

#include <string>

namespace mg {

std::string AutostartPath();
bool AutostartEnabled();
// Writes or removes the entry; raises EInOutError when that fails.
void SetAutostart(bool on);

}  // namespace mg
