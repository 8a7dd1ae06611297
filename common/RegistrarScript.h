// RegistrarScript.h -- interprets registration scripts, the registrar language in which COM servers describe their registry entries.
//
// What our modules use of the language:
//
//   script := { root '{' entry* '}' }*
//   root   := HKCR | HKCU | HKLM | HKU | HKPD | HKDD | HKCC, or the long names HKEY_CLASSES_ROOT,
//             HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_PERFORMANCE_DATA,
//             HKEY_DYN_DATA, HKEY_CURRENT_CONFIG
//   entry  := Delete name [ '=' type data ]
//           | val name '=' type data
//           | [ ForceRemove | NoRemove ] name [ '=' type data ] [ '{' entry* '}' ]
//   type   := s (REG_SZ) | d (REG_DWORD, decimal or 0x-prefixed hexadecimal)
//   name, data := 'quoted text' (two quotes inside stand for one) or a bare word
//
// Tokens are separated by white space; '{', '}' and '=' are tokens only on their own, so that a
// bare key name may be a braced GUID. Keywords, root names and type letters are matched without
// regard to case and only when bare: a quoted name is always a name. Key names must not be
// empty or contain a backslash (one key per line, as the registrar wants).
//
// Replacement variables: "%NAME%" is replaced by the value added under NAME (matched without
// regard to case) in the whole text before it is read, so a value lands inside quotes as it is;
// "%%" stands for one percent sign. Values meant for quoted strings must have their quotes
// doubled by the caller (a module path, for example).
//
// Registering: a key entry creates (or opens) the key and sets its default value when it has
// one; ForceRemove first deletes an existing key with everything below it; Delete deletes the
// key with everything below it (a missing key is fine); val sets a named value on the
// enclosing key.
//
// Unregistering: entries are processed depth first. A val entry removes its value; a key entry
// removes what its own entries name and then the key itself, unless it is marked NoRemove or
// still has subkeys that the script does not name (those belong to someone else). Keys and
// values that are already gone are fine. Delete entries do nothing.
//
// Failures: the whole text is expanded and parsed before the registry is touched, so a syntax
// error or an unknown variable fails with DISP_E_EXCEPTION and writes nothing. A registry call
// that fails stops the run with HRESULT_FROM_WIN32 of its error; what was written before stays
// (no rollback, as with the registrars of the platform).
#pragma once

#include <windows.h>

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

class RegistrarScript {
public:
    RegistrarScript() = default;
    RegistrarScript(const RegistrarScript&) = delete;
    RegistrarScript& operator=(const RegistrarScript&) = delete;

    // Adds the variable `name` (or replaces the value of one with the same name in any case).
    void AddReplacement(const std::string& name, const std::string& value);

    // Runs `length` bytes of script text. S_OK, DISP_E_EXCEPTION for a script that cannot be
    // read, E_OUTOFMEMORY, or the first registry failure as an HRESULT.
    HRESULT Register(const char* text, size_t length);
    HRESULT Unregister(const char* text, size_t length);

    // Why the last run failed, for logs and tests; empty after a success.
    const std::string& LastError() const { return mLastError; }

private:
    HRESULT Run(const char* text, size_t length, bool registering);

    std::vector<std::pair<std::string, std::string>> mReplacements;
    std::string mLastError;
};
