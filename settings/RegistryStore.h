#pragma once

#include <string>
#include <vector>

// The root under which a settings key lives: the current user's, which the program reads and
// writes, and the machine's, which holds an administrator's presets and which the program only
// reads (writes to it fail).
enum class RegistryRoot { CurrentUser, LocalMachine };

// One value of a group write: its name and the text to store under it.
struct RegistryValue
{
    std::u16string name;
    std::u16string value;
};

// Reads and writes string values under a key of the per-user settings store. It has no state:
// every call opens the key and closes it again before it returns, so calls from different threads
// need no lock. The error text is part of the interface but is never filled.
class RegistryStore
{
public:
    // On success sets value to the units before the first NUL (all of them when there is none)
    // and returns true. A missing key or value, a value that is not a string, or any other
    // failure returns false and leaves value as it was.
    bool readString(RegistryRoot root, const std::u16string& keyPath,
                    const std::u16string& valueName, std::u16string& value,
                    std::string& error) const;

    // Stores value (followed by a NUL) as a string value, creating the key when it is missing.
    // Returns true exactly when the value was stored.
    bool writeString(RegistryRoot root, const std::u16string& keyPath,
                     const std::u16string& valueName, const std::u16string& value,
                     std::string& error) const;

    // Stores several values of one key, in their order, as writeString does each, and returns
    // one result per value. Where the platform can, the group is one step: on Linux one
    // replacement of the key's file, so that a crash leaves every value old or every value new,
    // and all results are alike. The Windows registry sets one value per call: there each value
    // is its own write, and a failed one does not stop the others.
    std::vector<bool> writeStrings(RegistryRoot root, const std::u16string& keyPath,
                                   const std::vector<RegistryValue>& values,
                                   std::string& error) const;
};
