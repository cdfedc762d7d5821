#include "X11Desktop.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

} // namespace

X11Desktop::X11Desktop(xcb_connection_t* connection, xcb_window_t root)
    : m_connection(connection)
    , m_root(root)
{
}

QImage X11Desktop::grab(QString* error) const
{
    const Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, m_root), nullptr));
    if (!geometry) {
        *error = QStringLiteral("cannot read the screen's size");
        return {};
    }
    const int width = geometry->width;
    const int height = geometry->height;
    xcb_generic_error_t* failure = nullptr;
    const Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        m_connection, xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, 0, 0, uint16_t(width), uint16_t(height), ~0u),
        &failure));
    if (!image) {
        *error = QStringLiteral("cannot grab the screen (X error %1)").arg(failure ? failure->error_code : 0);
        std::free(failure);
        return {};
    }
    // True-colour roots of depth 24 or 32 store 32-bit pixels, blue in the lowest byte, which is
    // QImage::Format_RGB32 on the little-endian machines we run on. Other depths are long gone.
    const int length = xcb_get_image_data_length(image.get());
    if ((image->depth != 24 && image->depth != 32) || length < width * height * 4) {
        *error = QStringLiteral("cannot grab a screen of depth %1").arg(image->depth);
        return {};
    }
    const int bytesPerLine = length / height;
    QImage result(width, height, QImage::Format_RGB32);
    const uint8_t* data = xcb_get_image_data(image.get());
    for (int y = 0; y < height; ++y)
        std::memcpy(result.scanLine(y), data + qsizetype(y) * bytesPerLine, size_t(width) * 4);
    return result;
}

QList<QRect> X11Desktop::windowsInStackingOrder() const
{
    QList<xcb_window_t> windows = managedClients();
    const bool managed = !windows.isEmpty();
    if (!managed)
        windows = rootChildren();
    QList<QRect> rects;
    for (xcb_window_t window : std::as_const(windows)) {
        const QRect rect = frameRect(window, managed);
        if (!rect.isEmpty())
            rects.append(rect);
    }
    return rects;
}

QList<xcb_window_t> X11Desktop::managedClients() const
{
    const xcb_atom_t stacking = atom("_NET_CLIENT_LIST_STACKING");
    if (stacking == XCB_ATOM_NONE)
        return {};
    const Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(m_connection, xcb_get_property(m_connection, 0, m_root, stacking, XCB_ATOM_WINDOW, 0, 1 << 16), nullptr));
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32)
        return {};
    const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / int(sizeof(xcb_window_t));
    return QList<xcb_window_t>(ids, ids + count);
}

QList<xcb_window_t> X11Desktop::rootChildren() const
{
    const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
    if (!tree)
        return {};
    // The server lists children bottom to top.
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    QList<xcb_window_t> visible;
    for (int i = 0, count = xcb_query_tree_children_length(tree.get()); i < count; ++i) {
        const Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr));
        // Menus, tooltips and other override-redirect popups are not windows a user picks.
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT
            && !attributes->override_redirect)
            visible.append(children[i]);
    }
    return visible;
}

QRect X11Desktop::frameRect(xcb_window_t window, bool managed) const
{
    if (managed) {
        // A client the window manager has minimised or moved to another desktop stays listed.
        const Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            return {};
    }
    const Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr));
    if (!geometry)
        return {};
    const Reply<xcb_translate_coordinates_reply_t> origin(
        xcb_translate_coordinates_reply(m_connection, xcb_translate_coordinates(m_connection, window, m_root, 0, 0), nullptr));
    if (!origin)
        return {};
    QRect rect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
    // A window manager's frame (title bar, borders) belongs to the window the user sees.
    const xcb_atom_t extentsAtom = managed ? atom("_NET_FRAME_EXTENTS") : xcb_atom_t(XCB_ATOM_NONE);
    if (extentsAtom != XCB_ATOM_NONE) {
        const Reply<xcb_get_property_reply_t> extents(
            xcb_get_property_reply(m_connection, xcb_get_property(m_connection, 0, window, extentsAtom, XCB_ATOM_CARDINAL, 0, 4), nullptr));
        if (extents && extents->format == 32 && xcb_get_property_value_length(extents.get()) == 16) {
            const auto* e = static_cast<const uint32_t*>(xcb_get_property_value(extents.get()));
            rect.adjust(-int(e[0]), -int(e[2]), int(e[1]), int(e[3]));
        }
    }
    return rect;
}

xcb_atom_t X11Desktop::atom(const char* name) const
{
    const Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, 1, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}
