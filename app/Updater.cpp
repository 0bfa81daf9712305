#include "Updater.h"

Updater::Updater(const std::string& server_url, const std::string& store_path,
                 UpdaterDisplayInterface& display)
    : server_url(server_url), store_path(store_path), display(display) {}

void Updater::not_built(const char* capability) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "%s is not available in this build of Updater", capability);
}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&,
                              uint32_t, bool) {
    not_built("Fingerprint reading");
    (void)recovery_chip;
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t,
                               const std::string&, bool) {
    not_built("Recovery");
    return false;
}
