#pragma once
#include <QIcon>
#include <QString>

// The program's own pictures, drawn for it as SVG and kept in the resources. A picture that
// cannot be loaded gives an empty icon: the windows go on without it.

// The loudspeaker of the tray, the windows and the about box.
QIcon ApplicationIcon();

// The images of the commands, by their index in the data module's image list: 3 save, 5 stop,
// 6 start. The desktop theme's icon of that meaning is taken where the theme has one; an index
// without an image gives an empty icon.
QIcon ImgListIcon(int index);

// An SVG file (or resource) rendered into an icon at the usual sizes; empty when it cannot be read.
QIcon SvgIcon(const QString& fileName);
