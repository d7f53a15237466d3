// Paths of the built-in pictures, and the registration of their resource file.
#include "pictures.h"

#include <QtGlobal>

// The resource file is compiled into a static library: a plain static
// initializer there would be dropped by the linker, this one is kept because
// the paths below are used.
static int registerPictures()
{
    Q_INIT_RESOURCE(terminal);
    return 1;
}
[[maybe_unused]] static const int picturesRegistered = registerPictures();

namespace Pictures {
const QString Backspace = QStringLiteral(":/img/backspace.png");
const QString Enter = QStringLiteral(":/img/Enter.png");
const QString Dosimeter = QStringLiteral(":/img/ppd.png");
const QString DefaultPhoto = QStringLiteral(":/img/user_id.png");
const QString Placeholder = QStringLiteral(":/user_circle_icon.png");
} // namespace Pictures
