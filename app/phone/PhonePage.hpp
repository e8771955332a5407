#pragma once

#include <string_view>

namespace torvane::PhonePage {

// The phone page as app/phone/phone.html, with the platform's texts where they differ (see
// linux/PageTexts.cmake); served unchanged at GET /.
extern const std::string_view html;

} // namespace torvane::PhonePage
