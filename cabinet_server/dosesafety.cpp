#include "dosesafety.h"

#include "log.h"

namespace dosesafety {

namespace {
Check &installed()
{
    static Check check;
    return check;
}
} // namespace

void setCheck(Check check)
{
    installed() = std::move(check);
}

QString beforeErasing(const Erasure &erasure)
{
    if (!installed())
        return QString();
    const QString refused = installed()(erasure);
    if (!refused.isEmpty())
        logLine(refused);
    return refused;
}

} // namespace dosesafety
