// The program icon's artwork lives in assets/ as XPM source, compiled in here.
#include "Application.h"

#include <QPixmap>

#include "tessaro-icon-16.xpm"
#include "tessaro-icon-32.xpm"

QIcon TApplication::ProgramIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(tessaro_icon32_xpm));
    icon.addPixmap(QPixmap(tessaro_icon16_xpm));
    return icon;
}
