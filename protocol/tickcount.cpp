// The replaceable source behind tickCount().

#include "protocol/tickcount.h"

namespace {
TickCountSource installedSource = nullptr;
}

std::uint32_t tickCount()
{
    return installedSource ? installedSource() : systemTickCount();
}

void setTickCountSource(TickCountSource source)
{
    installedSource = source;
}
