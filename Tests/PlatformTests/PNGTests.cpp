#include "Platform/PNG.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace talkweft::platform {
namespace {

std::uint32_t readU32(const std::string& s, std::size_t at) {
    return (std::uint32_t(std::uint8_t(s[at])) << 24) | (std::uint32_t(std::uint8_t(s[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(s[at + 2])) << 8) | std::uint32_t(std::uint8_t(s[at + 3]));
}

TEST(PNGTests, EncodesChunksWithValidChecksumsAndRecoverablePixels) {
    Image image{3, 2, {}};
    for (int i = 0; i < 6; ++i) {
        image.rgba.insert(image.rgba.end(), {std::uint8_t(i * 10), std::uint8_t(i * 20), std::uint8_t(255 - i), 255});
    }
    auto png = encodePNG(image);
    ASSERT_TRUE(png);
    ASSERT_EQ(png->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

    std::vector<std::string> types;
    std::string idat;
    for (std::size_t at = 8; at < png->size();) {
        const std::uint32_t len = readU32(*png, at);
        const std::string typeAndBody = png->substr(at + 4, 4 + len);
        const std::uint32_t crc = readU32(*png, at + 8 + len);
        EXPECT_EQ(crc, crc32(0, reinterpret_cast<const Bytef*>(typeAndBody.data()), static_cast<uInt>(typeAndBody.size())));
        types.push_back(typeAndBody.substr(0, 4));
        if (types.back() == "IHDR") {
            EXPECT_EQ(readU32(typeAndBody, 4), 3u);
            EXPECT_EQ(readU32(typeAndBody, 8), 2u);
            EXPECT_EQ(typeAndBody.substr(12, 2), std::string("\x08\x06", 2));
        }
        if (types.back() == "IDAT") idat += typeAndBody.substr(4);
        at += 12 + len;
    }
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));

    std::vector<std::uint8_t> raw(2 * (1 + 3 * 4));
    uLongf rawLen = static_cast<uLongf>(raw.size());
    ASSERT_EQ(uncompress(raw.data(), &rawLen, reinterpret_cast<const Bytef*>(idat.data()), static_cast<uLong>(idat.size())), Z_OK);
    ASSERT_EQ(rawLen, raw.size());
    EXPECT_EQ(raw[0], 0);       // filter byte of row 0
    EXPECT_EQ(raw[13], 0);      // filter byte of row 1
    EXPECT_EQ(raw[14 + 1], 3 * 20);  // green of pixel (0,1), the 4th pixel
}

TEST(PNGTests, RefusesEmptyOrInconsistentImages) {
    EXPECT_FALSE(encodePNG(Image{0, 0, {}}));
    EXPECT_FALSE(encodePNG(Image{2, 2, std::vector<std::uint8_t>(15)}));
}

}  // namespace
}  // namespace talkweft::platform
