// Named kernel objects that every process on the machine shares, whichever logon session or
// account it runs in: their names, their security, and what is done where the global
// namespace is closed to the caller.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

// "<scope>.<base>" (just base without a scope), backslashes made '_' (a backslash would name
// another namespace), behind "Global\" when global. False when it does not fit `size`.
bool Win32ObjectName(const char *base, const char *scope, bool global, char *out, size_t size);

// From Windows 2000 on, a plain name is one of the caller's logon session: only "Global\"
// names are shared with services and other sessions. NT 4.0 and the 95 family accept no
// backslash in a name, and have one namespace anyway.
bool Win32HasSessionNamespaces();

// The name without its "Global\" prefix (the session's own name), or null when it has none.
inline const char *Win32SessionName(const char *name) {
    return std::strncmp(name, "Global\\", 7) == 0 ? name + 7 : nullptr;
}

// Security attributes whose descriptor has a present but null DACL, so that every account may
// open the object, whichever made it (a service's objects and a user's meet). get() is null
// where the system refuses the descriptor (the 95 family, whose objects carry no security).
class Win32OpenSecurity {
  public:
    Win32OpenSecurity() {
        ok_ = InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    Win32OpenSecurity(const Win32OpenSecurity &) = delete;
    Win32OpenSecurity &operator=(const Win32OpenSecurity &) = delete;
    SECURITY_ATTRIBUTES *get() { return ok_ ? &attributes_ : nullptr; }

  private:
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
    bool ok_;
};
