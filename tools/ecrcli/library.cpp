#include "ecrcli/library.h"

#include <dlfcn.h>

namespace ecrcli {

bool Library::load(const std::string& path)
{
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* e = dlerror();
        error = "cannot load " + path + ": " + (e != nullptr ? e : "unknown error");
        return false;
    }
    return true;
}

void* Library::lookup(const char* name) const { return handle != nullptr ? dlsym(handle, name) : nullptr; }

void* Library::sym(const char* name)
{
    void* p = lookup(name);
    if (p == nullptr && error.empty())
        error = std::string("the library does not export ") + name;
    return p;
}

bool Library::link_error(std::string* text) const
{
    auto f = find<int (*)(char*, unsigned)>("ecrb_last_error_text");
    text->clear();
    if (f == nullptr)
        return false;
    char buf[256] = {0};
    if (f(buf, sizeof buf) < 0)
        return false;
    buf[sizeof buf - 1] = '\0';
    *text = buf;
    return true;
}

}  // namespace ecrcli
