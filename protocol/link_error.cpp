// Store of the last link failure text.
#include "protocol/link_error.h"
#include "protocol/channel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
char g_text[192];

}  // namespace

void link_error_set(const char* format, ...)
{
    char text[sizeof g_text];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_lock);
    std::memcpy(g_text, text, sizeof g_text);
}

void link_error_clear()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_text[0] = '\0';
}

const char* link_gone_text(LinkGone why)
{
    switch (why) {
    case LinkGone::Closed:
        return "the terminal closed the connection";
    case LinkGone::Reset:
        return "the terminal reset the connection";
    case LinkGone::Refused:
        return "the terminal refused the connection";
    case LinkGone::HungUp:
        return "the serial line was hung up";
    case LinkGone::Vanished:
        return "the serial device is gone";
    case LinkGone::No:
        break;
    }
    return "";
}

int link_error_copy(char* buf, unsigned int size)
{
    if (buf == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(g_lock);
    const size_t len = std::strlen(g_text);
    if (size == 0)
        return len == 0 ? 0 : 1;
    const size_t take = len < size ? len : size - 1;
    std::memcpy(buf, g_text, take);
    buf[take] = '\0';
    return take == len ? 0 : 1;
}
