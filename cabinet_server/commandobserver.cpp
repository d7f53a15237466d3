#include "commandobserver.h"

namespace {
CommandObserver *g_observer = nullptr;
}

void setCommandObserver(CommandObserver *observer)
{
    g_observer = observer;
}

CommandObserver *commandObserver()
{
    return g_observer;
}
