#include "app/phone/LocalAddress.hpp"
#include "app/ui/Pairing.hpp"
#include "app/ui/qt/Application.hpp"
#include "app/ui/qt/QtSettings.hpp"

#include <iostream>
#include <string_view>

int main(int argc, char** argv) {
    // Answered before Qt starts: they must work without a display and start nothing.
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--pairing-url" || option == "--pairing-qr") {
            // The running copy's settings, read only; the URL holds the key, so it goes nowhere else.
            const torvane::QtSettings settings;
            return torvane::Pairing::printPairingURL(
                settings,
                torvane::chooseLocalAddress(torvane::systemInterfaceAddresses(),
                                            torvane::hostInterfacePolicy()),
                option == "--pairing-qr", std::cout, std::cerr);
        }
    }
    return torvane::runApplication(argc, argv);
}
