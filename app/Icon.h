#pragma once

#include <QIcon>

namespace mg {
// The program's own icon (an envelope), drawn once.
QIcon MailgroveIcon();
}  // namespace mg
