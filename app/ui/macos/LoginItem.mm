// The login item through ServiceManagement (macOS 13 and later): the app bundle itself is registered.
#include "app/ui/LoginItem.hpp"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

namespace torvane {

namespace {

class MainAppLoginItem final : public LoginItem {
public:
    bool isEnabled() const override {
        return [SMAppService mainAppService].status == SMAppServiceStatusEnabled;
    }

    std::optional<std::string> setEnabled(bool enabled) override {
        NSError* error = nil;
        SMAppService* service = [SMAppService mainAppService];
        const BOOL ok =
            enabled ? [service registerAndReturnError:&error] : [service unregisterAndReturnError:&error];
        if (ok)
            return std::nullopt;
        return std::string(error ? error.localizedDescription.UTF8String : "");
    }
};

} // namespace

std::unique_ptr<LoginItem> makeLoginItem() {
    return std::make_unique<MainAppLoginItem>();
}

} // namespace torvane
