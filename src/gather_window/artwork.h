#pragma once

#include <QIcon>
#include <QPixmap>

namespace tallyfold {

// The window's own pictures, drawn for this project: a banner, the window
// icon and the terminal icon, in the sizes the layout asks for.
QPixmap bannerPicture();            // 700 x 150
QIcon windowIcon();                 // 32 x 32 and 16 x 16
QPixmap terminalPicture(int size);  // 16 or 32

}  // namespace tallyfold
