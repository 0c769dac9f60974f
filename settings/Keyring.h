#pragma once

#include <functional>
#include <memory>
#include <string>

namespace velmora {

// How the keyring answered.
enum class KeyringAnswer {
    done,
    // No item, or the keyring stayed locked because its unlock was refused: the keyring cannot
    // tell the two apart, and neither may leave anything blanked.
    notFound,
    // No keyring service on the session bus, and none that the bus can start.
    noService,
    failed,
};

// The desktop's keyring, where the remembered password lives on platforms that have one (the
// Secret Service on Linux: GNOME Keyring, KWallet, KeePassXC). One item per settings key. Where
// there is none (Windows keeps the password in its registry) it is never offered.
//
// read, write and erase are called on the GUI thread and never wait: a locked keyring asks the
// user through the desktop's own unlock prompt, which may take minutes. Their answer comes later,
// on the GUI thread, from its event loop; never after the Keyring is gone.
class Keyring
{
public:
    Keyring();
    ~Keyring();
    Keyring(const Keyring&) = delete;
    Keyring& operator=(const Keyring&) = delete;

    // Whether a keyring service is on the session bus or can be started there. Asks the bus, so
    // it is current; from any thread.
    bool isOffered() const;
    // Why the password stays where it is without a keyring, for the log; empty where the
    // platform keeps it elsewhere by design.
    std::string absenceNote() const;

    // The why texts come from the keyring and never hold the password.
    using ReadAnswer = std::function<void(KeyringAnswer answer, const std::string& password,
                                          const std::string& why)>;
    using Answer = std::function<void(KeyringAnswer answer, const std::string& why)>;

    void read(const std::u16string& settingsKey, ReadAnswer answer);
    void write(const std::u16string& settingsKey, const std::string& password, Answer answer);
    // Deleting an item that is not there is done too.
    void erase(const std::u16string& settingsKey, Answer answer);

private:
    struct Jobs;
    std::unique_ptr<Jobs> m_jobs;
};

} // namespace velmora
