#include "server/Pages.h"

#include "server/Base64.h"
#include "server/RawDelivery.h"
#include "server/Text.h"

#include <openssl/sha.h>

#include <cmath>

namespace {

using text::htmlEscape;

constexpr std::string_view kStyle = R"css(
:root{--ink:#1d2433;--muted:#5f6b7f;--line:#e3e7ee;--card:#fff;--page:#f3f5f9;--accent:#2f6fec;--accent-ink:#fff}
@media (prefers-color-scheme:dark){:root{--ink:#e8ecf3;--muted:#9aa5b8;--line:#2c3444;--card:#1b212d;--page:#11151d;--accent:#5b8ef5}}
*{box-sizing:border-box}
html{font:16px/1.5 system-ui,-apple-system,"Segoe UI",Roboto,Ubuntu,Cantarell,sans-serif;color:var(--ink);background:var(--page)}
body{margin:0;min-height:100vh;display:flex;flex-direction:column}
a{color:var(--accent)}
.bar{display:flex;align-items:center;justify-content:space-between;gap:1rem;padding:.9rem 1.5rem;border-bottom:1px solid var(--line);background:var(--card)}
.brand{font-weight:700;font-size:1.15rem;text-decoration:none;color:var(--ink);letter-spacing:-.01em}
.brand span{color:var(--accent)}
.bar nav a{margin-left:1.2rem;text-decoration:none;color:var(--muted);font-size:.95rem}
.bar nav a:hover{color:var(--ink)}
main{flex:1;width:100%;max-width:960px;margin:0 auto;padding:2rem 1.5rem}
.card{background:var(--card);border:1px solid var(--line);border-radius:14px;padding:1.75rem;box-shadow:0 1px 3px rgba(16,24,40,.06)}
h1{font-size:1.6rem;line-height:1.25;margin:0 0 .5rem;letter-spacing:-.02em}
h2{font-size:1.1rem;margin:1.5rem 0 .5rem}
p{margin:.4rem 0 1rem}
.muted{color:var(--muted)}
.button{display:inline-block;padding:.6rem 1.2rem;border-radius:9px;background:var(--accent);color:var(--accent-ink);text-decoration:none;font-weight:600}
.button:hover{filter:brightness(1.08)}
.preview{display:flex;justify-content:center;align-items:center;margin-bottom:1.5rem}
.preview img{max-width:100%;height:auto;border-radius:6px;background:repeating-conic-gradient(#0000000d 0 25%,#0000 0 50%) 50%/16px 16px}
.preview video{max-width:100%;border-radius:8px;background:#000}
.preview audio{width:100%}
.file{width:88px;height:112px;border:2px solid var(--line);border-radius:10px;display:flex;align-items:flex-end;justify-content:center;padding-bottom:14px;font-weight:700;color:var(--muted);text-transform:uppercase;font-size:.85rem;overflow:hidden}
.details{display:flex;flex-wrap:wrap;align-items:center;justify-content:space-between;gap:1rem}
.details h1{overflow-wrap:anywhere}
ul.drops{list-style:none;padding:0;margin:1rem 0 0}
ul.drops li{display:flex;flex-wrap:wrap;align-items:center;gap:.5rem 1rem;padding:.8rem 0;border-top:1px solid var(--line)}
ul.drops .what{flex:1 1 16rem;min-width:0}
ul.drops .what a{font-weight:600;overflow-wrap:anywhere}
ul.drops .what p{margin:0;font-size:.9rem}
ul.drops .what span{white-space:nowrap}
ul.drops input{flex:1 1 14rem;font:inherit;font-size:.9rem;padding:.35rem .5rem;border:1px solid var(--line);border-radius:7px;background:var(--page);color:var(--ink)}
ul.drops form{margin:0}
button{font:inherit;font-size:.9rem;padding:.4rem .9rem;border-radius:8px;border:1px solid var(--line);background:var(--card);color:var(--ink);cursor:pointer}
button.delete{color:#c0342b;border-color:#e6b4b0}
.notice{padding:.6rem .9rem;border-radius:9px;background:var(--page);border:1px solid var(--line)}
ul.features{padding-left:1.2rem}
ul.features li{margin:.3rem 0}
footer{padding:1.2rem;text-align:center;color:var(--muted);font-size:.85rem}
)css";

// Copies a link on its button's click (through the clipboard API, else the selected field), and
// asks before a delete form is sent. Without it, links can still be selected and drops deleted.
constexpr std::string_view kDropListScript
    = R"js(document.addEventListener("click",function(e){var b=e.target.closest("button[data-link]");if(!b)return;var f=b.parentNode.querySelector("input");var done=function(){b.textContent="Copied";setTimeout(function(){b.textContent="Copy link"},1500)};if(navigator.clipboard&&window.isSecureContext){navigator.clipboard.writeText(b.dataset.link).then(done)}else{f.select();if(document.execCommand("copy"))done()}});document.addEventListener("submit",function(e){var t=e.target.dataset.title;if(t!==undefined&&!confirm("Delete “"+t+"”? Its link will stop working."))e.preventDefault()});)js";

std::string sha256Base64(std::string_view text)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return base64::encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string extensionBadge(std::string_view title)
{
    const size_t dot = title.rfind('.');
    if (dot == std::string_view::npos || dot + 1 >= title.size() || title.size() - dot - 1 > 5)
        return "file";
    return std::string(title.substr(dot + 1));
}

} // namespace

Pages::Pages(Site site)
    : m_site(std::move(site))
    , m_dropListPolicy("default-src 'none'; style-src 'unsafe-inline'; img-src 'self' data:; script-src 'sha256-"
                       + sha256Base64(kDropListScript) + "'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'")
{
}

std::string Pages::link(std::string_view path) const
{
    return htmlEscape(m_site.publicUrl + std::string(path));
}

std::string Pages::layout(std::string_view title, std::string_view body, std::string_view head) const
{
    std::string page;
    page.reserve(kStyle.size() + body.size() + 1024);
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    page += "<meta name=\"referrer\" content=\"no-referrer\">\n";
    page += "<title>" + htmlEscape(title) + "</title>\n";
    page += head;
    page += "<style>";
    page += kStyle;
    page += "</style>\n</head>\n<body>\n";
    page += "<header class=\"bar\"><a class=\"brand\" href=\"" + link("/") + "\">Parcly<span>.</span></a>";
    page
        += "<nav><a href=\"" + link("/pro") + "\">Pro</a><a href=\"" + link("/download/mac_direct") + "\">Desktop app</a></nav></header>\n";
    page += "<main>\n";
    page += body;
    page += "\n</main>\n<footer>Shared with Parcly Lite</footer>\n</body>\n</html>\n";
    return page;
}

std::string Pages::home() const
{
    return layout("Parcly",
                  R"(<div class="card">
<h1>Share files by short link</h1>
<p class="muted">Give a file, a folder or a screenshot to Parcly Lite in your tray: it uploads it here and puts a short link on your clipboard, ready to paste.</p>
<p>Each link opens a page like this one, showing pictures, playing audio and video, and offering the file for download.</p>
<p><a class="button" href=")"
                      + link("/download/mac_direct") + R"(">Get the desktop app</a></p>
</div>)");
}

std::string Pages::drop(const Drop& drop, const std::optional<ImageSize>& image) const
{
    const std::string title = htmlEscape(drop.title);
    // Relative to the page's own URL, so they work behind any path prefix.
    const std::string raw = drop.code + "/raw";
    std::string media;
    std::string head;
    switch (raw::mediaKind(drop.contentType)) {
    case raw::MediaKind::Image: {
        media = "<a href=\"" + raw + "\"><img src=\"" + raw + "\" alt=\"" + title + "\"";
        if (image) {
            const double density = drop.pixelDensity > 0 ? drop.pixelDensity : 1.0;
            const auto scaled
                = [density](std::uint32_t pixels) { return std::to_string(std::max<long>(1, std::lround(pixels / density))); };
            media += " width=\"" + scaled(image->width) + "\" height=\"" + scaled(image->height) + "\"";
        }
        media += "></a>";
        head += "<meta property=\"og:image\" content=\"" + link("/" + raw) + "\">\n";
        break;
    }
    case raw::MediaKind::Audio:
        media = "<audio controls preload=\"metadata\" src=\"" + raw + "\"></audio>";
        break;
    case raw::MediaKind::Video:
        media = "<video controls preload=\"metadata\" src=\"" + raw + "\"></video>";
        break;
    case raw::MediaKind::Other:
        media = "<div class=\"file\" aria-hidden=\"true\">" + htmlEscape(extensionBadge(drop.title)) + "</div>";
        break;
    }
    head += "<meta property=\"og:title\" content=\"" + title + "\">\n";

    std::string body = "<div class=\"card\">\n<div class=\"preview\">" + media + "</div>\n";
    body += "<div class=\"details\"><div><h1>" + title + "</h1>";
    body += "<p class=\"muted\">" + htmlEscape(text::humanSize(drop.size)) + " &middot; " + htmlEscape(raw::essence(drop.contentType))
        + "</p></div>";
    body += "<a class=\"button\" href=\"" + raw + "?download=1\" download=\"" + title + "\">Download</a></div>\n</div>";
    return layout(drop.title, body, head);
}

std::string Pages::pro(const std::optional<std::string>& email) const
{
    std::string body = "<div class=\"card\">\n<h1>Parcly Pro</h1>\n";
    if (email)
        body += "<p class=\"muted\">Signed in as <strong>" + htmlEscape(*email) + "</strong></p>\n";
    body += R"(<p>The paid plan for people who share every day.</p>
<ul class="features">
<li>Larger uploads and more storage</li>
<li>Drops that never expire</li>
<li>Your own domain for short links</li>
<li>Download counts for every drop</li>
</ul>
<p class="muted">This service is run by its own operator, who sets plans and prices. Ask them to upgrade your account.</p>
</div>)";
    return layout("Parcly Pro", body);
}

std::string Pages::dropList(const DropList& list) const
{
    const std::string token = text::percentEncodeComponent(list.token);
    std::string body = "<div class=\"card\">\n<h1>Your drops</h1>\n";
    body += "<p class=\"muted\">Signed in as <strong>" + htmlEscape(list.email) + "</strong>. Newest first; times in UTC.</p>\n";
    if (!list.notice.empty())
        body += "<p class=\"notice\" role=\"status\">" + htmlEscape(list.notice) + "</p>\n";
    if (list.drops.empty())
        body += "<p>No drops to show.</p>\n";
    else
        body += "<ul class=\"drops\">\n";
    for (const Drop& drop : list.drops) {
        const std::string title = htmlEscape(drop.title);
        const std::string shortlink = link("/" + drop.code);
        std::string when = text::isoTime(drop.createdAt);
        when = when.substr(0, 10) + " " + when.substr(11, 5);
        std::string details = "<span>" + htmlEscape(text::humanSize(drop.size)) + "</span> &middot; <span>" + when + "</span>";
        if (drop.expiresAt) {
            const std::string until = text::isoTime(*drop.expiresAt);
            details += " &middot; <span>expires " + until.substr(0, 10) + " " + until.substr(11, 5) + "</span>";
        }
        body += "<li><div class=\"what\"><a href=\"" + shortlink + "\">" + title + "</a><p class=\"muted\">" + details + "</p></div>";
        body += "<input readonly value=\"" + shortlink + "\" aria-label=\"Link to " + title + "\">";
        body += "<button type=\"button\" data-link=\"" + shortlink + "\">Copy link</button>";
        body += "<form method=\"post\" action=\"" + link("/account/drops/delete") + "\" data-title=\"" + title + "\">";
        body += "<input type=\"hidden\" name=\"token\" value=\"" + htmlEscape(list.token) + "\">";
        body += "<input type=\"hidden\" name=\"code\" value=\"" + htmlEscape(drop.code) + "\">";
        body += "<button class=\"delete\" type=\"submit\" aria-label=\"Delete " + title + "\">Delete</button></form></li>\n";
    }
    if (!list.drops.empty())
        body += "</ul>\n";
    if (list.next)
        body += "<p><a href=\"" + link("/account/drops?token=" + token + "&before=" + std::to_string(*list.next))
            + "\">Older drops</a></p>\n";
    body += "</div>";
    return layout("Your drops", body, "<script>" + std::string(kDropListScript) + "</script>\n");
}

std::string Pages::dropListSignedOut() const
{
    return layout("Your drops", R"(<div class="card">
<h1>This link has expired</h1>
<p class="muted">Open the list of your drops from Parcly Lite again: the link it opens signs you in for a while only.</p>
</div>)");
}

std::string Pages::desktopDownload() const
{
    std::string body = "<div class=\"card\">\n<h1>Parcly for the desktop</h1>\n";
    body += "<p>The full desktop client: share from the menu bar or tray, drag and drop, screenshots and more.</p>\n";
    body += "<p class=\"muted\">Latest version: " + htmlEscape(m_site.clientVersion) + "</p>\n";
    if (!m_site.clientDownloadUrl.empty())
        body += "<p><a class=\"button\" href=\"" + htmlEscape(m_site.clientDownloadUrl) + "\">Download " + htmlEscape(m_site.clientVersion)
            + "</a></p>\n";
    else
        body += "<p>This service does not publish the desktop client itself; its operator can tell you where to get it.</p>\n";
    body += "</div>";
    return layout("Download Parcly", body);
}

std::string Pages::notFound() const
{
    return layout("Not found", R"(<div class="card">
<h1>Nothing here</h1>
<p class="muted">There is no drop at this address. Check the link, or ask whoever shared it for a new one.</p>
</div>)");
}

std::string Pages::gone(Drop::State state) const
{
    const bool expired = state == Drop::State::Expired;
    return layout(expired ? "Drop expired" : "Drop deleted",
                  std::string("<div class=\"card\">\n<h1>") + (expired ? "This drop has expired" : "This drop was deleted")
                      + "</h1>\n<p class=\"muted\">"
                      + (expired ? "It was shared for a limited time, and that time is over. Its file is no longer stored here."
                                 : "Whoever shared it has deleted it. Its file is no longer stored here.")
                      + " Ask them for a new link if you still need it.</p>\n</div>");
}

std::string Pages::error(int status, std::string_view message) const
{
    return layout("Error " + std::to_string(status),
                  "<div class=\"card\">\n<h1>Error " + std::to_string(status) + "</h1>\n<p class=\"muted\">" + htmlEscape(message)
                      + "</p>\n</div>");
}

std::string Pages::updateFeed() const
{
    return feed({"Parcly desktop client", "Parcly", "New versions of the Parcly desktop client.", "parcly-client-", m_site.clientVersion,
                 link("/download/mac_direct")});
}

std::string Pages::liteUpdateFeed() const
{
    return feed(
        {"Parcly Lite", "Parcly Lite", "New versions of Parcly Lite, the tray app.", "parcly-lite-", m_site.liteVersion, link("/")});
}

std::string Pages::feed(const FeedEntry& entry) const
{
    const std::string version = htmlEscape(entry.version);
    const std::string product(entry.product);
    std::string feed = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    feed += "<rss version=\"2.0\" xmlns:parcly=\"urn:parcly:update\">\n<channel>\n";
    feed += "<title>" + std::string(entry.title) + "</title>\n";
    feed += "<link>" + entry.page + "</link>\n";
    feed += "<description>" + std::string(entry.description) + "</description>\n";
    feed += "<language>en</language>\n";
    feed += "<item>\n<title>Version " + version + "</title>\n";
    feed += "<link>" + entry.page + "</link>\n";
    feed += "<guid isPermaLink=\"false\">" + std::string(entry.guidPrefix) + version + "</guid>\n";
    feed += "<parcly:version>" + version + "</parcly:version>\n";
    feed += "<description>" + product + " " + version + " is available from the download page.</description>\n";
    feed += "</item>\n</channel>\n</rss>\n";
    return feed;
}
