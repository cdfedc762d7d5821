// What a browser gets: drop pages, raw bytes served without risk to the site, and the site's
// own pages.
#include "ServerHarness.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <QBuffer>
#include <QImage>

#include <sqlite3.h>

#include <fstream>

namespace {

std::string encodedImage(int width, int height, const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format)) << format;
    return bytes.toStdString();
}

// The first 13 bytes of a GIF are all a reader of its size looks at.
std::string gifHeader(int width, int height)
{
    std::string gif = "GIF89a";
    gif += static_cast<char>(width & 0xFF);
    gif += static_cast<char>(width >> 8);
    gif += static_cast<char>(height & 0xFF);
    gif += static_cast<char>(height >> 8);
    gif += std::string("\x00\x00\x00\x3B", 4);
    return gif;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Runs SQL on a data folder's database while no server has it open; the rows' first columns,
// each row's values joined by "x".
std::vector<std::string> onDatabase(const std::filesystem::path& data, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_open((data / "parcly.db").c_str(), &db) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open the database";
        sqlite3_close(db);
        return rows;
    }
    const auto collect = [](void* into, int columns, char** values, char**) {
        std::string row;
        for (int n = 0; n < columns; ++n)
            row += (n ? "x" : "") + std::string(values[n] ? values[n] : "NULL");
        static_cast<std::vector<std::string>*>(into)->push_back(row);
        return 0;
    };
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), collect, &rows, &error) != SQLITE_OK)
        ADD_FAILURE() << sql << ": " << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    return rows;
}

class PagesTest : public ::testing::Test {
protected:
    std::string create(const UploadRequest& request)
    {
        auto result = upload(service, user, request);
        EXPECT_TRUE(result && result->status == 201) << request.name;
        return result ? jsonObject(result->body).value("code").toString().toStdString() : std::string();
    }

    httplib::Result get(const std::string& path) { return service.client().Get(path); }

    RunningService service{[](ServerOptions& options) {
        options.clientVersion = "2.5.1";
        options.clientDownloadUrl = "https://downloads.parcly.test/parcly-2.5.1.tar.gz";
    }};
    Credentials user = registerAccount(service);
};

TEST_F(PagesTest, DropPageEscapesAHostileFileName)
{
    const std::string code = create({encodedImage(20, 10, "PNG"), "<script>alert(1)</script>.png", "image/png"});
    auto page = get("/" + code);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_FALSE(contains(page->body, "<script>")) << "the name reached the page unescaped";
    EXPECT_TRUE(contains(page->body, "<title>&lt;script&gt;alert(1)&lt;/script&gt;.png</title>"));
    EXPECT_TRUE(contains(page->get_header_value("Content-Security-Policy"), "default-src 'none'"));

    // Quotes cannot break out of attributes either.
    const std::string quoted = create({"x", "\" onmouseover=\"alert(1).txt", "text/plain"});
    auto second = get("/" + quoted);
    ASSERT_TRUE(second);
    EXPECT_FALSE(contains(second->body, "\" onmouseover=\""));

    // A right-to-left override would show "invoice\u202Efdp.exe" as "invoiceexe.pdf"; the marks
    // U+200F and U+061C reorder what follows them too. Page, JSON and download name all show U+FFFD.
    const std::string marks[] = {"\u202E", "\u2067", "\u2069", "\u200F", "\u061C"};
    auto uploaded = upload(service, user, {"MZ", "invoice\u202Efdp.exe \u2067x\u2069 \u200Fy\u061C", "application/octet-stream"});
    ASSERT_TRUE(uploaded && uploaded->status == 201);
    const QJsonObject drop = jsonObject(uploaded->body);
    EXPECT_EQ(drop.value("title").toString().toStdString(), "invoice\uFFFDfdp.exe \uFFFDx\uFFFD \uFFFDy\uFFFD");
    auto third = get("/" + drop.value("code").toString().toStdString());
    ASSERT_TRUE(third);
    const std::string raw = responseHead(service.port(), "/" + drop.value("code").toString().toStdString() + "/raw");
    const size_t disposition = raw.find("Content-Disposition: ");
    ASSERT_NE(disposition, std::string::npos) << raw;
    const std::string header = raw.substr(disposition, raw.find("\r\n", disposition) - disposition);
    EXPECT_TRUE(contains(header, "filename*=UTF-8''invoice%EF%BF%BDfdp.exe%20%EF%BF%BDx%EF%BF%BD%20%EF%BF%BDy%EF%BF%BD")) << header;
    for (const std::string& mark : marks) {
        EXPECT_FALSE(contains(third->body, mark));
        EXPECT_FALSE(contains(uploaded->body, mark));
        EXPECT_FALSE(contains(header, QUrl::toPercentEncoding(QString::fromStdString(mark)).toStdString())) << header;
    }
    EXPECT_TRUE(contains(third->body, "<title>invoice\uFFFDfdp.exe \uFFFDx\uFFFD \uFFFDy\uFFFD</title>"));
}

TEST_F(PagesTest, ImagesShowAtTheirSizeInPointsWhateverTheFormat)
{
    struct Case {
        std::string bytes;
        const char* type;
        const char* query;
        const char* size; // as it must appear on the page
    };
    const std::vector<Case> cases = {
        {encodedImage(640, 480, "PNG"), "image/png", "?pixel_density=2.0", "width=\"320\" height=\"240\""},
        {encodedImage(300, 200, "PNG"), "image/png", "", "width=\"300\" height=\"200\""},
        {encodedImage(500, 250, "JPEG"), "image/jpeg", "?pixel_density=2", "width=\"250\" height=\"125\""},
        {gifHeader(90, 30), "image/gif", "?pixel_density=3", "width=\"30\" height=\"10\""},
    };
    for (const Case& c : cases) {
        const std::string code = create({c.bytes, "picture", c.type, c.query});
        auto page = get("/" + code);
        ASSERT_TRUE(page);
        EXPECT_TRUE(contains(page->body, "<img src=\"" + code + "/raw\"")) << c.type;
        EXPECT_TRUE(contains(page->body, c.size)) << c.type << " " << c.query << ": expected " << c.size;
    }
}

// Sizes are kept with the drop when it is stored. A folder from before that has them read on the
// first view and kept; later views use what was kept, whatever the file says by then.
TEST(StoredImageSize, KeptAtUploadAndAddedToOlderDataFolders)
{
    const auto data = makeTemporaryFolder("image-size") / "data";
    std::string picture, text;
    {
        RunningService service(data);
        const Credentials user = registerAccount(service);
        auto uploaded = upload(service, user, {encodedImage(640, 480, "PNG"), "shot.png", "image/png", "?pixel_density=2"});
        ASSERT_TRUE(uploaded && uploaded->status == 201);
        picture = jsonObject(uploaded->body).value("code").toString().toStdString();
        uploaded = upload(service, user, {"just text", "note.txt", "text/plain"});
        ASSERT_TRUE(uploaded && uploaded->status == 201);
        text = jsonObject(uploaded->body).value("code").toString().toStdString();
    }
    EXPECT_EQ(onDatabase(data, "SELECT image_width, image_height FROM drops WHERE code = '" + picture + "'"),
              std::vector<std::string>{"640x480"});
    EXPECT_EQ(onDatabase(data, "SELECT image_width, image_height FROM drops WHERE code = '" + text + "'"), std::vector<std::string>{"0x0"});

    // Back to a file of a server that kept no sizes: schema 3, and from before schema steps were
    // recorded in a table, nor storage keys kept (the steps after the sizes' create only what is missing).
    onDatabase(data,
               "ALTER TABLE drops DROP COLUMN image_width; ALTER TABLE drops DROP COLUMN image_height; DROP INDEX drops_by_storage_key; "
               "ALTER TABLE drops DROP COLUMN storage_key; DROP TABLE schema_migrations; PRAGMA user_version = 3");
    {
        RunningService service(data);
        auto page = service.client().Get("/" + picture);
        ASSERT_TRUE(page);
        EXPECT_TRUE(contains(page->body, "width=\"320\" height=\"240\"")) << page->body;
        page = service.client().Get("/" + text);
        ASSERT_TRUE(page && page->status == 200);
    }
    EXPECT_EQ(onDatabase(data, "SELECT image_width, image_height FROM drops ORDER BY image_width DESC"),
              (std::vector<std::string>{"640x480", "0x0"}));

    // The file is not read again: a different header under the same code changes nothing.
    std::ofstream(data / "drops" / picture, std::ios::binary | std::ios::trunc) << encodedImage(10, 10, "PNG");
    RunningService service(data);
    auto page = service.client().Get("/" + picture);
    ASSERT_TRUE(page);
    EXPECT_TRUE(contains(page->body, "width=\"320\" height=\"240\"")) << page->body;
}

TEST_F(PagesTest, AudioAndVideoPlayAndEverythingCanBeDownloaded)
{
    const std::string song = create({"ID3 not really", "song.mp3", "audio/mpeg"});
    const std::string clip = create({"not really mp4", "clip.mp4", "video/mp4"});
    const std::string archive = create({"PK", "archive.zip", "application/zip"});

    EXPECT_TRUE(contains(get("/" + song)->body, "<audio controls"));
    EXPECT_TRUE(contains(get("/" + clip)->body, "<video controls"));
    for (const std::string& code : {song, clip, archive}) {
        const std::string page = get("/" + code)->body;
        EXPECT_TRUE(contains(page, "href=\"" + code + "/raw?download=1\"")) << code;
        auto download = get("/" + code + "/raw?download=1");
        ASSERT_TRUE(download);
        EXPECT_EQ(download->get_header_value("Content-Disposition").rfind("attachment;", 0), 0u);
    }
    EXPECT_TRUE(contains(get("/" + archive)->body, "2 bytes"));
}

TEST_F(PagesTest, RawNeverServesScriptCapableContentInline)
{
    for (const char* type : {"text/html", "text/html; charset=utf-8", "image/svg+xml", "application/xhtml+xml", "text/xml",
                             "application/javascript", "text/javascript", "application/x-unknown", "application/pdf"}) {
        const std::string code = create({"<html><script>alert(document.cookie)</script></html>", "page.html", type});
        auto raw = get("/" + code + "/raw");
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->status, 200);
        const bool attachment = raw->get_header_value("Content-Disposition").rfind("attachment;", 0) == 0;
        const bool plain = raw->get_header_value("Content-Type").rfind("text/plain", 0) == 0;
        EXPECT_TRUE(attachment || plain) << type << " would render in the service's origin";
        EXPECT_EQ(raw->get_header_value("X-Content-Type-Options"), "nosniff") << type;
        EXPECT_TRUE(contains(raw->get_header_value("Content-Security-Policy"), "sandbox")) << type;
    }
    for (const char* type : {"image/png", "text/plain", "video/webm"}) {
        const std::string code = create({"bytes", "shown", type});
        auto raw = get("/" + code + "/raw");
        ASSERT_TRUE(raw);
        EXPECT_EQ(raw->get_header_value("Content-Disposition").rfind("inline;", 0), 0u) << type;
        EXPECT_EQ(raw->get_header_value("Content-Type"), type);
        EXPECT_EQ(raw->get_header_value("X-Content-Type-Options"), "nosniff") << type;
        EXPECT_TRUE(contains(raw->get_header_value("Content-Security-Policy"), "sandbox")) << type;
    }
}

TEST_F(PagesTest, RawAnswersRangesSoPlayersCanSeek)
{
    const std::string code = create({"0123456789", "clip.webm", "video/webm"});
    const auto ranged = [&](const std::string& range) { return service.client().Get("/" + code + "/raw", {{"Range", range}}); };

    auto middle = ranged("bytes=2-5");
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->status, 206);
    EXPECT_EQ(middle->body, "2345");
    auto pastTheEnd = ranged("bytes=7-100");
    ASSERT_TRUE(pastTheEnd);
    EXPECT_EQ(pastTheEnd->status, 206);
    EXPECT_EQ(pastTheEnd->body, "789");
    EXPECT_EQ(pastTheEnd->get_header_value("Content-Range"), "bytes 7-9/10");
    auto suffix = ranged("bytes=-3");
    ASSERT_TRUE(suffix);
    EXPECT_EQ(suffix->body, "789");
    auto unsatisfiable = ranged("bytes=50-60");
    ASSERT_TRUE(unsatisfiable);
    EXPECT_EQ(unsatisfiable->status, 416);
    EXPECT_EQ(unsatisfiable->get_header_value("Content-Range"), "bytes */10");
}

TEST_F(PagesTest, UnknownCodesAndPathsAre404Pages)
{
    const std::string code = create({"exists", "a.txt", "text/plain"});
    std::string missing = code;
    missing[0] = missing[0] == 'A' ? 'B' : 'A';
    for (const std::string& path : {"/" + missing, "/" + missing + "/raw", std::string("/abcdefgh"), std::string("/nothing/here"),
                                    "/" + code + "/raw/more", std::string("/../../etc/passwd")}) {
        auto result = get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 404) << path;
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
    }
}

TEST_F(PagesTest, SitePagesAndTheUpdateFeed)
{
    for (const char* path : {"/", "/pro", "/download/mac_direct"}) {
        auto page = get(path);
        ASSERT_TRUE(page) << path;
        EXPECT_EQ(page->status, 200) << path;
        EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
        // Self-contained: nothing loaded from elsewhere.
        EXPECT_FALSE(contains(page->body, "src=\"http")) << path;
        EXPECT_FALSE(contains(page->body, "<link rel=\"stylesheet\"")) << path;
        EXPECT_TRUE(contains(page->body, "<style>")) << path;
    }
    auto download = get("/download/mac_direct");
    EXPECT_TRUE(contains(download->body, "2.5.1"));
    EXPECT_TRUE(contains(download->body, "href=\"https://downloads.parcly.test/parcly-2.5.1.tar.gz\""));

    auto feed = get("/appcast.xml");
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->status, 200);
    EXPECT_EQ(feed->get_header_value("Content-Type").rfind("application/rss+xml", 0), 0u);
    EXPECT_TRUE(contains(feed->body, "<rss version=\"2.0\""));
    EXPECT_TRUE(contains(feed->body, "<title>Version 2.5.1</title>"));
    EXPECT_TRUE(contains(feed->body, "<link>" + service.publicUrl() + "/download/mac_direct</link>"));

    // Parcly Lite's own feed names its own version (this build's unless told), not the full client's.
    auto lite = get("/lite/appcast.xml");
    ASSERT_TRUE(lite);
    EXPECT_EQ(lite->status, 200);
    EXPECT_EQ(lite->get_header_value("Content-Type").rfind("application/rss+xml", 0), 0u);
    EXPECT_TRUE(contains(lite->body, "<title>Parcly Lite</title>"));
    EXPECT_TRUE(contains(lite->body, "<parcly:version>" PARCLY_LITE_VERSION "</parcly:version>"));
    EXPECT_FALSE(contains(lite->body, "2.5.1"));
}

TEST_F(PagesTest, ProPageNamesTheAccountOnlyForAValidTokenAndNeverEchoesIt)
{
    auto me = service.client().Get("/users/me", basicAuthorization(user));
    ASSERT_TRUE(me);
    const std::string token = me->get_header_value("x-parcly-authorization").substr(7);

    auto signedIn = get("/pro?token=" + token);
    ASSERT_TRUE(signedIn);
    EXPECT_TRUE(contains(signedIn->body, user.email));
    EXPECT_FALSE(contains(signedIn->body, token));
    EXPECT_EQ(signedIn->get_header_value("Referrer-Policy"), "no-referrer");

    std::string forged = token;
    forged[forged.size() - 2] = forged[forged.size() - 2] == 'A' ? 'B' : 'A';
    for (const std::string& bad : {forged, std::string("%3Cscript%3Ealert(1)%3C/script%3E"), std::string()}) {
        auto page = get("/pro?token=" + bad);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_FALSE(contains(page->body, user.email)) << bad;
        EXPECT_FALSE(contains(page->body, "<script>")) << bad;
    }
}

} // namespace
