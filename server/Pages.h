#pragma once

#include "server/DropStore.h"
#include "server/ImageSize.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The service's web pages: self-contained HTML (one inline stylesheet, no outside resources)
// sharing one layout, plus the update feed. Every text that came from a user is escaped here.
class Pages {
public:
    struct Site {
        std::string publicUrl; // origin (and path prefix) of every absolute link
        std::string clientVersion; // the desktop client the feed and download page offer
        std::string clientDownloadUrl; // may be empty: nothing is published here then
        std::string liteVersion; // Parcly Lite, the tray app, which reads a feed of its own
    };

    explicit Pages(Site site);

    // The header every page carries: only its own inline style, same-origin media.
    static constexpr const char* kContentSecurityPolicy
        = "default-src 'none'; style-src 'unsafe-inline'; img-src 'self' data:; media-src 'self'; "
          "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

    // The drop list's: the same, plus its one script (by hash) and its delete forms to the service itself.
    const std::string& dropListPolicy() const { return m_dropListPolicy; }

    std::string home() const;
    // `image` is the stored image's pixel size when known; the page shows it at its size in
    // points (pixels divided by the density), so a 2x screenshot looks as it did on screen.
    std::string drop(const Drop& drop, const std::optional<ImageSize>& image) const;
    // `email` is the account a valid token named, if any.
    std::string pro(const std::optional<std::string>& email) const;
    struct DropList {
        std::string email;
        std::string token; // handed on in links and forms: the page has no other sign-in
        std::vector<Drop> drops;
        std::optional<std::int64_t> next;
        std::string notice; // a line above the list: what the last delete did
    };
    std::string dropList(const DropList& list) const;
    // For a drop list link whose token is not (or no longer) valid.
    std::string dropListSignedOut() const;
    std::string desktopDownload() const;
    std::string notFound() const;
    // For a drop's page and bytes once it is no more: deleted by its owner, or past its time.
    std::string gone(Drop::State state) const;
    std::string error(int status, std::string_view message) const;
    // The full desktop client's feed ("/appcast.xml"), read by its peers.
    std::string updateFeed() const;
    // Parcly Lite's own feed ("/lite/appcast.xml"): the tray app compares its version with this one.
    std::string liteUpdateFeed() const;

private:
    std::string layout(std::string_view title, std::string_view body, std::string_view head = {}) const;
    std::string link(std::string_view path) const;
    struct FeedEntry {
        std::string_view title; // the channel's
        std::string_view product; // as the item's description names it
        std::string_view description; // the channel's
        std::string_view guidPrefix;
        const std::string& version;
        std::string page; // already a link
    };
    std::string feed(const FeedEntry& entry) const;

    Site m_site;
    std::string m_dropListPolicy;
};
