// The program icon's artwork lives in assets/: XPM source for 1x, compiled in
// here, and an SVG drawn on the same grid, from which the build renders the
// larger sizes a scaled desktop asks for (compiled in as resources).
#include "app/Application.h"

#include <QPixmap>
#include <QString>

#include "tessaro-icon-16.xpm"
#include "tessaro-icon-32.xpm"

QIcon TApplication::ProgramIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(tessaro_icon32_xpm));
    icon.addPixmap(QPixmap(tessaro_icon16_xpm));
    for (const int size : {24, 48, 64}) icon.addFile(QStringLiteral(":/icons/tessaro-%1.png").arg(size));
    return icon;
}
