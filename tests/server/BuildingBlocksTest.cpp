// The parsers that face untrusted input directly, fed what an attacker or a broken client
// would send.
#include "server/AlignedBlock.h"
#include "server/Base64.h"
#include "server/FileAppender.h"
#include "server/ImageSize.h"
#include "server/Json.h"
#include "server/Text.h"
#include "server/Throttle.h"
#include "server/TokenSigner.h"

#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// Appends, in order, every kind of piece an upload hands its file: small and misaligned ones,
// runs of page-aligned blocks after a buffer that does or does not hold whole pages, a block with
// a partial last page, and a tail. The file must hold exactly what was appended; whether the
// blocks went past the page cache is for the caller to judge.
struct AppendedFile {
    std::string expected;
    std::string written;
    bool direct = false; // before the tail
};
AppendedFile appendEveryKindOfPiece(const std::filesystem::path& folder)
{
    const auto path = folder / "appended";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    FileAppender file(fd);
    AppendedFile result;
    unsigned next = 1;
    const auto block = [&](size_t capacity, size_t filled) {
        AlignedBlock made(capacity);
        std::string bytes(filled, '\0');
        for (char& c : bytes)
            c = static_cast<char>(next = next * 1103515245 + 12345);
        made.append(bytes.data(), bytes.size());
        return made;
    };
    const auto appendRun = [&](std::vector<AlignedBlock> blocks) {
        std::vector<iovec> pieces;
        for (AlignedBlock& one : blocks) {
            pieces.push_back({one.data(), one.size()});
            result.expected.append(one.data(), one.size());
        }
        EXPECT_TRUE(file.append(pieces));
    };
    const auto appendBytes = [&](size_t size, size_t misalignment) {
        AlignedBlock made = block(size + misalignment, size + misalignment);
        result.expected.append(made.data() + misalignment, size);
        EXPECT_TRUE(file.append(made.data() + misalignment, size));
    };

    std::vector<AlignedBlock> small;
    for (int i = 0; i < 4; ++i)
        small.push_back(block(16 * 1024, 16 * 1024));
    appendRun(std::move(small)); // whole pages, together worth one write
    appendBytes(5000, 3); // the buffer no longer holds whole pages...
    std::vector<AlignedBlock> copied;
    copied.push_back(block(256 * 1024, 256 * 1024));
    copied.push_back(block(256 * 1024, 256 * 1024));
    appendRun(std::move(copied)); // ...so these are copied after it
    appendBytes(300'000, 1); // large, misaligned
    appendBytes(AlignedBlock::roundUp(5000 + 300'000) - 5000 - 300'000, 0); // the buffer holds whole pages again
    std::vector<AlignedBlock> straight;
    for (int i = 0; i < 3; ++i)
        straight.push_back(block(256 * 1024, 256 * 1024));
    straight.push_back(block(256 * 1024, 100'001)); // all but its last page straight too
    appendRun(std::move(straight));
    result.direct = file.direct();
    appendBytes(777, 5);
    EXPECT_TRUE(file.finish());
    ::close(fd);
    std::ifstream in(path, std::ios::binary);
    result.written.assign(std::istreambuf_iterator<char>(in), {});
    return result;
}

TEST(FileAppender, KeepsEveryByteInOrderPastThePageCache)
{
    const auto folder = makeTemporaryFolder("appender");
    const AppendedFile file = appendEveryKindOfPiece(folder);
    EXPECT_TRUE(file.written == file.expected) << file.written.size() << " bytes written of " << file.expected.size();
    if (!takesDirectIo(folder))
        GTEST_SKIP() << "written exactly, but " << folder << " is on a file system without direct I/O";
    EXPECT_TRUE(file.direct) << "direct I/O was given up although " << folder << " takes it";
}

// ramfs refuses direct I/O outright: everything goes through the page cache instead.
TEST(FileAppender, KeepsEveryByteInOrderWhereDirectIoIsRefused)
{
    const auto folder = makeTemporaryFolder("ramfs");
    if (::mount("ramfs", folder.c_str(), "ramfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a ramfs here (needs root): " << std::strerror(errno);
    struct Unmount {
        std::filesystem::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{folder};
    const AppendedFile file = appendEveryKindOfPiece(folder);
    EXPECT_TRUE(file.written == file.expected) << file.written.size() << " bytes written of " << file.expected.size();
    EXPECT_FALSE(file.direct);
}

TEST(JsonParser, RefusesMalformedAndHostileDocumentsWithoutCrashing)
{
    for (const std::string text : {"",
                                   "{",
                                   "}",
                                   "{\"a\":}",
                                   "{\"a\" 1}",
                                   "{\"a\":1,}",
                                   "[1,]",
                                   "{'a':1}",
                                   "\"unterminated",
                                   "{\"a\":1}{",
                                   "01",
                                   "1.",
                                   "-",
                                   "1e",
                                   "NaN",
                                   "Infinity",
                                   "tru",
                                   "nul",
                                   "\"\\u12\"",
                                   "\"\\ud800\"",
                                   "\"\\udc00\\ud800\"",
                                   "\"\\x41\"",
                                   "\"tab\there\"",
                                   "\"\xff\xfe\"",
                                   "\"\xc0\xaf\"",
                                   "{\"a\":1,\"a\":2}",
                                   "1e999"}) {
        EXPECT_FALSE(json::parse(text)) << text;
    }
    // Deep nesting is refused, not recursed into until the stack runs out.
    EXPECT_FALSE(json::parse(std::string(100000, '[') + std::string(100000, ']')));
    EXPECT_FALSE(json::parse(std::string(100000, '[')));
    EXPECT_FALSE(json::parse(R"({"a":{"b":1,"b":2}})")) << "a duplicate deeper down";
    EXPECT_TRUE(json::parse(R"({"a":{"b":1},"c":{"b":2}})")) << "the same name in two objects";
}

TEST(JsonParser, ReadsEscapesAndUnicodeAsTheClientWritesThem)
{
    const auto value = json::parse(R"( {"email":"a\u00e9\ud83d\ude00@x.test","password":"q\"\\\/\n","n":-1.5e2,"ok":true,"x":[null,{}]} )");
    ASSERT_TRUE(value);
    EXPECT_EQ(*json::stringMember(*value, "email"), "a\xc3\xa9\xf0\x9f\x98\x80@x.test");
    EXPECT_EQ(*json::stringMember(*value, "password"), "q\"\\/\n");
    EXPECT_EQ(value->at("n").get<double>(), -150.0);
    EXPECT_TRUE(value->at("ok").get<bool>());
    EXPECT_EQ(value->at("x").size(), 2u);
    EXPECT_FALSE(json::stringMember(*value, "n")) << "a number is no string";

    // What the writer makes, the parser reads back, control characters and markup included;
    // bytes that are not UTF-8 are replaced, not thrown over.
    const std::string awkward("<\x01\"\\\n\t\0end\0", 11); // a NUL inside and one at the end
    const auto written = json::parse(json::write({{"s", awkward}}));
    ASSERT_TRUE(written);
    EXPECT_EQ(*json::stringMember(*written, "s"), awkward);
    EXPECT_EQ(json::write({{"s", "</script>"}}).find("</"), std::string::npos);
    EXPECT_EQ(json::write({{"s", "a\xff"}}), "{\"s\":\"a\xef\xbf\xbd\"}");
}

TEST(Base64Decoding, IsStrictSoThatEachNameHasOneEncoding)
{
    for (const char* bad : {"YQ", "YQ=", "Y", "YQ===", "Y Q==", "YQ==\n", "Y-_=", "YR==", "=YQ=", "YQ==YQ=="}) {
        EXPECT_FALSE(base64::decode(bad)) << bad;
    }
    std::string every;
    for (int i = 0; i < 256; ++i)
        every += static_cast<char>(i);
    for (size_t length = 0; length < 10; ++length) {
        const std::string bytes = every.substr(250 - length * 20, length);
        EXPECT_EQ(base64::decode(toBase64(bytes)), bytes);
        EXPECT_EQ(base64::decodeUrl(base64::encodeUrl(bytes)), bytes);
    }
    EXPECT_EQ(base64::decode(toBase64(every)), every);
}

TEST(Tokens, OnlyUntamperedUnexpiredHs256TokensOfThisServerVerify)
{
    const TokenSigner signer(std::string(32, 'k'), std::chrono::seconds(3600));
    const std::string token = signer.issue("ada@parcly.test", 1'000'000);
    const auto claims = signer.verify(token, 1'000'010);
    ASSERT_TRUE(claims);
    EXPECT_EQ(claims->subject, "ada@parcly.test");
    EXPECT_EQ(claims->issuedAt, 1'000'000);
    EXPECT_EQ(claims->expiresAt, 1'003'600);

    EXPECT_FALSE(signer.verify(token, 1'003'601)) << "expired";
    EXPECT_FALSE(TokenSigner(std::string(32, 'o')).verify(token, 1'000'010)) << "another server's secret";

    const size_t dot = token.find('.');
    const std::string otherPayload = base64::encodeUrl(R"({"sub":"eve@parcly.test","iat":1000000,"exp":9999999999})");
    EXPECT_FALSE(signer.verify(token.substr(0, dot + 1) + otherPayload + token.substr(token.rfind('.')), 1'000'010)) << "payload swapped";
    const std::string none = base64::encodeUrl(R"({"alg":"none","typ":"JWT"})") + "." + otherPayload + ".";
    EXPECT_FALSE(signer.verify(none, 1'000'010)) << "alg none";
    for (const std::string& garbage : std::vector<std::string>{"", ".", "..", "a.b.c", "abc", std::string(10000, 'a') + ".b.c"})
        EXPECT_FALSE(signer.verify(garbage, 1'000'010)) << garbage;
}

TEST(Throttle, AllowsABurstThenOneAttemptPerIntervalForEachKey)
{
    using std::chrono::seconds;
    Throttle throttle(2, seconds(10));
    const auto start = Throttle::Clock::now();
    EXPECT_EQ(throttle.take({"address", "account"}, start), seconds(0));
    EXPECT_EQ(throttle.take({"address", "account"}, start), seconds(0));
    EXPECT_EQ(throttle.take({"address", "account"}, start), seconds(10));
    EXPECT_EQ(throttle.take({"other address", "account"}, start), seconds(10)) << "one spent key holds the attempt back";
    EXPECT_EQ(throttle.take({"other address"}, start), seconds(0));
    EXPECT_EQ(throttle.take({"other address"}, start), seconds(0)) << "the refused attempt took nothing from it";

    EXPECT_EQ(throttle.take({"address"}, start + seconds(4)), seconds(6));
    EXPECT_EQ(throttle.take({"address"}, start + seconds(10)), seconds(0));
    EXPECT_EQ(throttle.take({"address"}, start + seconds(10)), seconds(10));
    throttle.giveBack({"address"});
    EXPECT_EQ(throttle.take({"address"}, start + seconds(10)), seconds(0)) << "an attempt given back";
}

TEST(ContentDisposition, KeepsTheNameForModernBrowsersAndASafeFallbackForOld)
{
    EXPECT_EQ(text::contentDisposition(true, "a b.png"), "inline; filename=\"a b.png\"; filename*=UTF-8''a%20b.png");
    const std::string header = text::contentDisposition(false, "Ré\"sumé\\/%\r\n.pdf");
    EXPECT_EQ(header, "attachment; filename=\"R___sum_______.pdf\"; filename*=UTF-8''R%C3%A9%22sum%C3%A9%5C%2F%25%0D%0A.pdf");
}

TEST(ImageSizes, DamagedOrForeignFilesGiveNoSize)
{
    const auto folder = makeTemporaryFolder("images");
    const auto sizeOf = [&](const std::string& bytes) {
        const auto file = folder / "image";
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        return readImageSize(file);
    };
    EXPECT_FALSE(sizeOf(""));
    EXPECT_FALSE(sizeOf("\x89PNG\r\n\x1a\n")); // cut in the signature's wake
    EXPECT_FALSE(sizeOf(std::string("\xff\xd8\xff\xe0\x00\x10JFIF", 10))); // segment runs past the end
    EXPECT_FALSE(sizeOf(std::string("\xff\xd8\xff\xda\x00\x08", 6))); // scan before any frame
    EXPECT_FALSE(sizeOf("<svg width='10' height='10'/>"));
    EXPECT_FALSE(sizeOf(std::string("GIF89a\x00\x00\x10\x00", 10))); // zero width
    // A JPEG whose frame header sits after a large metadata segment.
    std::string jpeg("\xff\xd8\xff\xe1\xff\xf0", 6);
    jpeg += std::string(0xfff0 - 2, '\0');
    jpeg += std::string("\xff\xc2\x00\x11\x08\x01\x2c\x02\x58", 9);
    const auto size = sizeOf(jpeg);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 600u);
    EXPECT_EQ(size->height, 300u);
}

} // namespace
