// What list and verify say of the image that a launcher file begins with: which launcher it is,
// whether it is one of this project's, and the version details and icon it carries.
#include "packer_internal.h"

ImageDetails read_image_details(std::FILE* file, std::int64_t file_size) {
    ImageDetails image;
    image.architecture = launcher_architecture(file, file_size);
    if (image.architecture.empty())
        return image;
    const ImageResources resources = read_image_resources(file, file_size);
    if (!resources.problem.empty())
        return image;
    image.setup_launcher = launcher_identity_problem(resources.resources).empty();
    image.version = image_version(resources.resources);
    image.icons = image_icons(resources.resources);
    return image;
}

std::string describe_image(const ImageDetails& image) {
    if (image.architecture.empty() || image.setup_launcher)
        return describe_launcher(image.architecture);
    const bool x86_64 = image.architecture == "x86-64";
    return std::string(x86_64 ? "an x86-64" : "an i686") +
           " Windows program that is no setup launcher (" + (x86_64 ? "PE32+" : "PE32") + ")";
}

namespace {

std::string icon_line(const std::vector<IconImage>& icons) {
    std::string line = "icon:";
    for (std::size_t index = 0; index < icons.size(); ++index) {
        const IconImage& icon = icons[index];
        line += (index == 0 ? " " : ", ") + std::to_string(icon.width) + "x" +
                std::to_string(icon.height) + " " + std::to_string(icon.bit_count) + "-bit" +
                (icon.png ? " PNG" : "");
    }
    return line;
}

}  // namespace

std::vector<std::string> image_detail_lines(const ImageDetails& image) {
    std::vector<std::string> lines;
    if (image.version) {
        const VersionInfo& version = *image.version;
        lines.push_back("file version " + version_text(version.file_version) +
                        ", product version " + version_text(version.product_version));
        if (!version.tables.empty()) {
            for (const auto& [key, value] : version.tables.front().strings)
                lines.push_back(terminal_text(to_utf8(key)) + " " + in_quotes(value));
        }
    }
    if (!image.icons.empty())
        lines.push_back(icon_line(image.icons));
    return lines;
}
