#pragma once

#include <string>

// The settings key as the program's store holds it, read and written the way the program does
// (UTF-8 bytes widened one by one).
std::string storedValue(const std::u16string& name); // "<missing>" when it cannot be read
bool storeValue(const std::u16string& name, const std::string& utf8);
