// Plays the parts of a desktop that an installed program meets on an X display, and says what it
// saw: the system tray (an XEmbed tray manager that docks the program's tray icon and reads its
// pixels) and the window manager (which reads the window's class and its icon).
//
//   velmora-desktop-probe --title TITLE --tray-image PNG --window-icon ICON [--timeout SECONDS]
//                         [--save-pictures FOLDER]
//
// It prints "tray ready" once it owns the tray, so that a script starts the program after it. It
// exits 0 when the docked tray image shows PNG and the window titled TITLE carries ICON, 1 when
// either differs or does not come before the time-out.

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPainter>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct FreeDeleter
{
    void operator()(void* pointer) const { std::free(pointer); }
};
template<typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

// A picture may differ from the reference by the rounding of a smooth scaling, no more.
constexpr int toleratedChannelDifference = 8;
// The size at which common trays (GNOME's, the XEmbed default) show an icon.
constexpr int traySize = 22;
constexpr uint32_t systemTrayRequestDock = 0;
constexpr uint32_t xembedEmbeddedNotify = 0;
constexpr uint32_t xembedVersion = 0;

int largestDifference(const QImage& seen, const QImage& expected)
{
    if (seen.size() != expected.size())
        return 256;
    int largest = 0;
    for (int y = 0; y < seen.height(); ++y) {
        for (int x = 0; x < seen.width(); ++x) {
            const QRgb a = seen.pixel(x, y);
            const QRgb b = expected.pixel(x, y);
            largest =
                std::max({ largest, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                           std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b)) });
        }
    }
    return largest;
}

class Desktop
{
public:
    Desktop()
    {
        int screenNumber = 0;
        m_connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(m_connection))
            fail("cannot connect to the X display (is DISPLAY set?)");
        auto screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&screens);
        m_screen = screens.data;
        m_trayAtom = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
        m_opcodeAtom = atom("_NET_SYSTEM_TRAY_OPCODE");
        m_iconAtom = atom("_NET_WM_ICON");
        m_xembedAtom = atom("_XEMBED");
    }
    ~Desktop() { xcb_disconnect(m_connection); }

    [[noreturn]] static void fail(const std::string& why)
    {
        std::printf("desktop probe: %s\n", why.c_str());
        std::exit(1);
    }

    // Takes the tray selection and tells the clients, as a tray manager does at its start.
    void becomeTray()
    {
        m_tray = xcb_generate_id(m_connection);
        const uint32_t values[] = { m_screen->black_pixel, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY };
        // In the corner, as a panel's tray is: the pixels of a window that another covers cannot
        // be read.
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_tray, m_screen->root,
                          m_screen->width_in_pixels - traySize,
                          m_screen->height_in_pixels - traySize, traySize, traySize, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_connection, m_tray);
        xcb_set_selection_owner(m_connection, m_tray, m_trayAtom, XCB_CURRENT_TIME);
        const XcbReply<xcb_get_selection_owner_reply_t> owner { xcb_get_selection_owner_reply(
            m_connection, xcb_get_selection_owner(m_connection, m_trayAtom), nullptr) };
        if (!owner || owner->owner != m_tray)
            fail("another tray owns the display");

        send(m_screen->root, atom("MANAGER"), { XCB_CURRENT_TIME, m_trayAtom, m_tray },
             XCB_EVENT_MASK_STRUCTURE_NOTIFY);
        xcb_flush(m_connection);
    }

    // Docks the icon windows that ask for it; returns once one has, or at the deadline.
    std::optional<xcb_window_t> waitForDock(Clock::time_point deadline)
    {
        while (Clock::now() < deadline) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
                const std::unique_ptr<xcb_generic_event_t, FreeDeleter> owned(event);
                if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
                    continue;
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                if (message->type != m_opcodeAtom
                    || message->data.data32[1] != systemTrayRequestDock)
                    continue;
                const xcb_window_t icon = message->data.data32[2];
                xcb_reparent_window(m_connection, icon, m_tray, 0, 0);
                const uint32_t size[] = { traySize, traySize };
                xcb_configure_window(m_connection, icon,
                                     XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
                // The client maps its window only when told that it is embedded.
                send(icon, m_xembedAtom,
                     { XCB_CURRENT_TIME, xembedEmbeddedNotify, 0, m_tray, xembedVersion },
                     XCB_EVENT_MASK_NO_EVENT);
                xcb_map_window(m_connection, icon);
                xcb_flush(m_connection);
                return icon;
            }
            pollfd descriptor { xcb_get_file_descriptor(m_connection), POLLIN, 0 };
            ::poll(&descriptor, 1, 100);
        }
        return std::nullopt;
    }

    QImage windowPixels(xcb_window_t window, int width, int height)
    {
        const XcbReply<xcb_get_image_reply_t> image { xcb_get_image_reply(
            m_connection,
            xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, width, height,
                          ~0u),
            nullptr) };
        if (!image || image->depth != 24
            || xcb_get_image_data_length(image.get()) < width * height * 4)
            return {};
        // Depth 24 comes as 32 bits a pixel, 0x00RRGGBB in the machine's order.
        QImage pixels(width, height, QImage::Format_RGB32);
        std::memcpy(pixels.bits(), xcb_get_image_data(image.get()), width * height * 4);
        return pixels;
    }

    // The top-level window with this title, as a window manager sees it.
    std::optional<xcb_window_t> findWindow(const std::string& title)
    {
        const XcbReply<xcb_query_tree_reply_t> tree { xcb_query_tree_reply(
            m_connection, xcb_query_tree(m_connection, m_screen->root), nullptr) };
        if (!tree)
            return std::nullopt;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            if (textProperty(children[i], XCB_ATOM_WM_NAME) == title)
                return children[i];
        }
        return std::nullopt;
    }

    std::string textProperty(xcb_window_t window, xcb_atom_t property)
    {
        const XcbReply<xcb_get_property_reply_t> reply { xcb_get_property_reply(
            m_connection,
            xcb_get_property(m_connection, 0, window, property, XCB_ATOM_ANY, 0, 1024), nullptr) };
        if (!reply || reply->format != 8)
            return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
    }

    // The images of _NET_WM_ICON: width, height, then width × height ARGB values, repeated.
    std::vector<QImage> windowIcons(xcb_window_t window)
    {
        const XcbReply<xcb_get_property_reply_t> reply { xcb_get_property_reply(
            m_connection,
            xcb_get_property(m_connection, 0, window, m_iconAtom, XCB_ATOM_CARDINAL, 0, 1 << 20),
            nullptr) };
        std::vector<QImage> icons;
        if (!reply || reply->format != 32)
            return icons;
        const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
        const std::size_t count = xcb_get_property_value_length(reply.get()) / 4;
        for (std::size_t at = 0; at + 2 <= count;) {
            const uint32_t width = values[at], height = values[at + 1];
            if (width == 0 || height == 0 || width > 1024 || height > 1024
                || at + 2 + std::size_t(width) * height > count)
                break;
            QImage icon(width, height, QImage::Format_ARGB32);
            std::memcpy(icon.bits(), values + at + 2, std::size_t(width) * height * 4);
            icons.push_back(icon);
            at += 2 + std::size_t(width) * height;
        }
        return icons;
    }

private:
    void send(xcb_window_t window, xcb_atom_t type, std::initializer_list<uint32_t> data,
              uint32_t mask)
    {
        xcb_client_message_event_t message {};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = type;
        std::copy(data.begin(), data.end(), message.data.data32);
        xcb_send_event(m_connection, 0, window, mask, reinterpret_cast<const char*>(&message));
    }

    xcb_atom_t atom(const std::string& name)
    {
        const XcbReply<xcb_intern_atom_reply_t> reply { xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, name.size(), name.c_str()), nullptr) };
        if (!reply)
            fail("cannot intern " + name);
        return reply->atom;
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_screen_t* m_screen = nullptr;
    xcb_window_t m_tray = 0;
    xcb_atom_t m_trayAtom = 0, m_opcodeAtom = 0, m_iconAtom = 0, m_xembedAtom = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    // The pictures are drawn off screen; the X display is reached through xcb alone.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOptions(
        { { "title", "Title of the program's window.", "title" },
          { "tray-image", "The picture the tray icon must show.", "png" },
          { "window-icon", "The picture the window icon must show.", "icon" },
          { "timeout", "Seconds to wait for both.", "seconds", "30" },
          { "save-pictures", "Keep the tray's pixels and the expected ones here.", "folder" } });
    parser.process(application);
    const QImage trayPicture(parser.value("tray-image"));
    const QIcon windowPicture(parser.value("window-icon"));
    if (trayPicture.isNull() || windowPicture.isNull() || parser.value("title").isEmpty())
        Desktop::fail("wants --title, a readable --tray-image and a readable --window-icon");
    const auto deadline = Clock::now() + std::chrono::seconds(parser.value("timeout").toInt());

    Desktop desktop;
    desktop.becomeTray();
    std::printf("tray ready\n");
    std::fflush(stdout);

    const auto icon = desktop.waitForDock(deadline);
    // What the tray shows: the picture scaled to the tray's size, over the tray's background.
    QImage expectedTray(traySize, traySize, QImage::Format_RGB32);
    expectedTray.fill(Qt::black);
    QPainter painter(&expectedTray);
    QIcon(QPixmap::fromImage(trayPicture)).paint(&painter, expectedTray.rect());
    painter.end();

    // Both are drawn some time after the program starts: look until they match or time is up.
    const std::string title = parser.value("title").toStdString();
    QImage trayShows;
    int trayDifference = 256;
    std::optional<xcb_window_t> window;
    std::vector<QImage> icons;
    const auto iconDifference = [&](const QImage& seen) {
        return largestDifference(
            seen,
            windowPicture.pixmap(seen.size()).toImage().convertToFormat(QImage::Format_ARGB32));
    };
    const auto iconsMatch = [&] {
        return !icons.empty() && std::all_of(icons.begin(), icons.end(), [&](const QImage& seen) {
            return iconDifference(seen) <= toleratedChannelDifference;
        });
    };
    while (Clock::now() < deadline) {
        if (icon && trayDifference > toleratedChannelDifference) {
            trayShows = desktop.windowPixels(*icon, traySize, traySize);
            trayDifference = largestDifference(trayShows, expectedTray);
        }
        if (!iconsMatch() && (window = desktop.findWindow(title)))
            icons = desktop.windowIcons(*window);
        if ((!icon || trayDifference <= toleratedChannelDifference) && iconsMatch())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    bool good = true;
    const QString saveTo = parser.value("save-pictures");
    if (!icon) {
        std::printf("tray image: no icon docked in the tray\n");
        good = false;
    } else {
        std::printf("tray image: %dx%d docked, %s (largest channel difference %d)\n", traySize,
                    traySize,
                    trayDifference <= toleratedChannelDifference ? "shows the tray picture"
                                                                 : "DIFFERS from the tray picture",
                    trayDifference);
        good = trayDifference <= toleratedChannelDifference;
        if (!saveTo.isEmpty()) {
            trayShows.save(saveTo + "/tray-seen.png");
            expectedTray.save(saveTo + "/tray-expected.png");
        }
    }
    if (!window) {
        std::printf("window: none titled \"%s\"\n", title.c_str());
        return 1;
    }
    std::string windowClass = desktop.textProperty(*window, XCB_ATOM_WM_CLASS);
    std::replace(windowClass.begin(), windowClass.end(), '\0', ' ');
    std::printf("window: \"%s\", class %s\n", title.c_str(), windowClass.c_str());
    if (icons.empty()) {
        std::printf("window icon: none\n");
        return 1;
    }
    for (const QImage& seen : icons) {
        const int difference = iconDifference(seen);
        std::printf("window icon: %dx%d, %s (largest channel difference %d)\n", seen.width(),
                    seen.height(),
                    difference <= toleratedChannelDifference ? "shows the window icon"
                                                             : "DIFFERS from the window icon",
                    difference);
        good = good && difference <= toleratedChannelDifference;
    }
    return good ? 0 : 1;
}
