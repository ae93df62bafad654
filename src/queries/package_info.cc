#include "queries/package_info.h"

#include "text/lines.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace pacpick {

PackageInfo parse_package_info(std::string_view output) {
    std::string decoded;
    const std::string_view text = text::decode_lossy_view(output, decoded);
    PackageInfo info;
    text::for_each_line(text, [&](std::string_view line) {
        // Only the first colon separates: descriptions and URLs carry their own.
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        const std::string_view key = text::trim_white_space(line.substr(0, colon));
        const std::string_view value = text::trim_white_space(line.substr(colon + 1));
        if (key == "Version" && info.version.empty()) {
            info.version = value;
        } else if (key == "Description" && info.description.empty()) {
            info.description = value;
        }
    });
    return info;
}

}  // namespace pacpick
