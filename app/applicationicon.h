// The application icon at the sizes a desktop asks for, so that the window, the menu
// entry and the taskbar show one picture.
#pragma once

#include <QIcon>

// `icon` (the form's 16 x 16 window icon) with the larger drawings of the same
// picture added from the resource bundle, 32 to 256 pixels.
QIcon withApplicationIconSizes(QIcon icon);
