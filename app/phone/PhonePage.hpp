#pragma once

#include <string_view>

namespace torvane::PhonePage {

// The phone page, byte for byte as app/phone/phone.html; served unchanged at GET /.
extern const std::string_view html;

} // namespace torvane::PhonePage
