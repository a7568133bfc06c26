// Keeps registry keys of this machine as a test found them. Save records a key with its values
// and subkeys (or that it is missing); Restore puts every saved key back as it was: values and
// subkeys the test added go, changed and deleted ones come back, a key that was missing is
// deleted with its subkeys. Keys that stay are kept (their access lists too), not recreated.
// Paths are in the registry layer's notation and read in its registry view, always on this
// machine's HKEY_LOCAL_MACHINE whatever the layer's focus. Tests only.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/registry_win.h"

class RegistrySnapshot {
public:
    RegistrySnapshot() = default;
    RegistrySnapshot(const RegistrySnapshot&) = delete;
    RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;
    // Puts back what is saved and not yet restored.
    ~RegistrySnapshot() { Restore(); }

    // Records one key (and everything below it); false when its path does not resolve.
    bool Save(const char* path) {
        char resolved[kResolvedPathSize];
        if (ResolveKeyPath(path, resolved) == nullptr) {
            return false;
        }
        const std::wstring wide = Wide(resolved);
        Key key;
        Read(HKEY_LOCAL_MACHINE, wide, &key);
        saved_.emplace_back(wide, std::move(key));
        return true;
    }

    // Puts back every saved key, the last saved first, and forgets them.
    void Restore() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            Write(HKEY_LOCAL_MACHINE, it->first, it->second);
        }
        saved_.clear();
    }

private:
    struct Value {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    struct Key {
        bool exists = false;
        std::vector<Value> values;
        std::vector<std::pair<std::wstring, Key>> subkeys;
    };

    static std::wstring Wide(const char* text) {
        wchar_t wide[kResolvedPathSize];
        const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kResolvedPathSize);
        return length > 0 ? std::wstring(wide) : std::wstring();
    }

    static bool SameName(const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(a.c_str(), b.c_str()) == 0;
    }

    static std::vector<std::wstring> SubkeyNames(HKEY key) {
        std::vector<std::wstring> names;
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD length = sizeof(name) / sizeof(name[0]);
            if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                return names;
            }
            names.emplace_back(name, length);
        }
    }

    static std::vector<Value> Values(HKEY key) {
        std::vector<Value> values;
        DWORD nameChars = 0;
        DWORD dataBytes = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &nameChars, &dataBytes, nullptr, nullptr) != ERROR_SUCCESS) {
            return values;
        }
        std::vector<wchar_t> name(nameChars + 1);
        std::vector<BYTE> data(dataBytes + 1);
        for (DWORD index = 0;; ++index) {
            DWORD length = static_cast<DWORD>(name.size());
            DWORD size = static_cast<DWORD>(data.size());
            DWORD type = 0;
            if (RegEnumValueW(key, index, name.data(), &length, nullptr, &type, data.data(),
                              &size) != ERROR_SUCCESS) {
                return values;
            }
            Value value;
            value.name.assign(name.data(), length);
            value.type = type;
            value.data.assign(data.begin(), data.begin() + size);
            values.push_back(std::move(value));
        }
    }

    static void Read(HKEY parent, const std::wstring& path, Key* out) {
        UniqueKey key;
        if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | RegistryViewFlag(), key.put()) !=
            ERROR_SUCCESS) {
            return;
        }
        out->exists = true;
        out->values = Values(key.get());
        for (const std::wstring& name : SubkeyNames(key.get())) {
            Key sub;
            Read(key.get(), name, &sub);
            out->subkeys.emplace_back(name, std::move(sub));
        }
    }

    static void DeleteTree(HKEY parent, const std::wstring& path) {
        {
            UniqueKey key;
            if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | KEY_WRITE | RegistryViewFlag(),
                              key.put()) != ERROR_SUCCESS) {
                return;
            }
            for (const std::wstring& name : SubkeyNames(key.get())) {
                DeleteTree(key.get(), name);
            }
        }
        RegDeleteKeyExW(parent, path.c_str(), RegistryViewFlag(), 0);
    }

    static void Write(HKEY parent, const std::wstring& path, const Key& saved) {
        if (!saved.exists) {
            DeleteTree(parent, path);
            return;
        }
        UniqueKey key;
        if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE | RegistryViewFlag(), nullptr, key.put(),
                            nullptr) != ERROR_SUCCESS) {
            return;
        }
        for (const Value& now : Values(key.get())) {
            bool kept = false;
            for (const Value& value : saved.values) {
                kept = kept || SameName(value.name, now.name);
            }
            if (!kept) {
                RegDeleteValueW(key.get(), now.name.c_str());
            }
        }
        for (const Value& value : saved.values) {
            RegSetValueExW(key.get(), value.name.c_str(), 0, value.type,
                           value.data.empty() ? nullptr : value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        }
        for (const std::wstring& now : SubkeyNames(key.get())) {
            bool kept = false;
            for (const auto& sub : saved.subkeys) {
                kept = kept || SameName(sub.first, now);
            }
            if (!kept) {
                DeleteTree(key.get(), now);
            }
        }
        for (const auto& sub : saved.subkeys) {
            Write(key.get(), sub.first, sub.second);
        }
    }

    std::vector<std::pair<std::wstring, Key>> saved_;
};
