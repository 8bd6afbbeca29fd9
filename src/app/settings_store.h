#pragma once
// The window's settings store: per user, "Kelvora" / "Tavrinth" (~/.config/Kelvora/Tavrinth.conf).

#include <QSettings>

namespace tavrinth {

QSettings openSettings();

}  // namespace tavrinth
