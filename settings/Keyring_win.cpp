#include "settings/Keyring.h"

// Windows keeps the remembered password in the registry, where it has always been: there is no
// keyring to offer, and nothing ever asks one.

namespace velmora {

struct Keyring::Jobs
{
};

Keyring::Keyring() = default;
Keyring::~Keyring() = default;

bool Keyring::isOffered() const
{
    return false;
}

std::string Keyring::absenceNote() const
{
    return {};
}

void Keyring::read(const std::u16string&, ReadAnswer answer)
{
    answer(KeyringAnswer::noService, {}, "no keyring on this system");
}

void Keyring::write(const std::u16string&, const std::string&, Answer answer)
{
    answer(KeyringAnswer::noService, "no keyring on this system");
}

void Keyring::erase(const std::u16string&, Answer answer)
{
    answer(KeyringAnswer::noService, "no keyring on this system");
}

} // namespace velmora
