// The shipped library, loaded with dlopen and called by symbol name, as a
// cash register loads it.
#pragma once
#include <string>

namespace ecrcli {

struct Library {
    void* handle = nullptr;
    std::string error;  // the first failure: load or a missing export

    bool load(const std::string& path);
    // A required export: null and error set when missing.
    void* sym(const char* name);
    template <typename F>
    F get(const char* name) { return reinterpret_cast<F>(sym(name)); }
    // An export that older builds lack: null when missing, no error.
    template <typename F>
    F find(const char* name) const { return reinterpret_cast<F>(lookup(name)); }
    // The text of the library's last link failure ("" when none); false when
    // the library cannot tell.
    bool link_error(std::string* text) const;

private:
    void* lookup(const char* name) const;
};

}  // namespace ecrcli
