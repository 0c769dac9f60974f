// Saves through the real window and the settings store until it is killed: a stand-in for a
// program that crashes in the middle of a save. Round by round it stores one of three states of
// each group (the session values and endpoint; the credentials), so a reader can tell whether a
// group was left part old, part new, and rewrites four large values with one letter, so a reader
// can tell whether a value was cut.
#include "settings/RegistryStore.h"
#include "settings/SettingsKey.h"
#include "support/VelmoraAuthInspector.h"

#include <QApplication>

#include <iostream>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    VelmoraAuth window;
    VelmoraAuthInspector inspect(window);
    RegistryStore store;
    std::string error;
    for (unsigned round = 0;; ++round) {
        switch (round % 3) {
        case 0:
            inspect.setSession("1001", "alpha", "5551");
            inspect.setEndpoint("127.0.0.11", 8090, true);
            window.saveSessionValues();
            inspect.rememberCredentials("ann", "first-secret");
            break;
        case 1:
            inspect.setSession("2002", "beta", "6662");
            inspect.setEndpoint("127.0.0.22", 80, false);
            window.saveSessionValues();
            inspect.rememberCredentials("bob", "second-secret");
            break;
        default:
            window.clearSessionValues();
            inspect.forgetCredentials();
        }
        const std::u16string large(200000, round % 2 ? u'b' : u'a');
        for (const char16_t* name : { u"v1", u"v2", u"v3", u"v4" }) {
            if (!store.writeString(RegistryRoot::CurrentUser, settingsKeyPath, name, large, error))
                return 1;
        }
        if (round == 2)
            std::cerr << "written" << std::endl;
    }
}
