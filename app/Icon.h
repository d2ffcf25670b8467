#pragma once

#include <QIcon>
#include <QImage>

namespace mg {
// The program's own icon (an envelope), drawn once.
QIcon MailgroveIcon();
// The same drawing at `size` x `size` pixels on a transparent background;
// needs no application object (the package's PNG icons are made with it).
QImage MailgroveIconImage(int size);
// The icon with a count of new messages drawn on it (the icon itself for 0).
QIcon MailgroveIconWithCount(int count);
}  // namespace mg
