// Writes to the settings store until it is killed: a stand-in for a program that crashes in the
// middle of saving. Every round rewrites all values with one letter, each value a large block.
#include "settings/RegistryStore.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::cerr << "usage: store-writer KEY-PATH VALUE-SIZE" << std::endl;
        return 2;
    }
    const std::string key = argv[1];
    const std::u16string keyPath(key.begin(), key.end());
    const size_t size = std::strtoul(argv[2], nullptr, 10);
    RegistryStore store;
    std::string error;
    for (unsigned round = 0;; ++round) {
        const std::u16string value(size, round % 2 ? u'b' : u'a');
        for (const char16_t* name : { u"v1", u"v2", u"v3", u"v4" }) {
            if (!store.writeString(RegistryRoot::CurrentUser, keyPath, name, value, error))
                return 1;
        }
        if (round == 0)
            std::cout << "written" << std::endl;
    }
}
