#pragma once

#include <QList>
#include <QUrl>

#include <functional>

// A file panel for choosing one existing file, run without blocking: the handler is called once,
// when the user closes the panel, with kOKResponse and the chosen URLs, or kCancelResponse.
class OpenPanel {
public:
    static constexpr int kOKResponse = 1;
    static constexpr int kCancelResponse = 0;
    using Handler = std::function<void(int response, const QList<QUrl>& urls)>;

    static void beginWithCompletionHandler(Handler handler);
};
