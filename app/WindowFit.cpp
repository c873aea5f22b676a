#include "app/WindowFit.h"

#include <QEvent>
#include <QScreen>
#include <QWindow>

#include <algorithm>

namespace {

// The largest size a window takes, as Qt has it.
constexpr int kUnbounded = (1 << 24) - 1;

} // namespace

WindowFit::WindowFit(QWindow* window, QSize preferred)
    : QObject(window)
    , window(window)
    , preferred(preferred)
{
    window->installEventFilter(this);
    connect(window, &QWindow::screenChanged, this, [this](QScreen* screen) {
        watchScreen(screen);
        apply();
    });
    watchScreen(window->screen());
    apply();
}

QSize WindowFit::fitted(QSize preferred, const QRect& available, const QMargins& frame)
{
    if (available.isEmpty())
        return preferred;
    const int width = available.width() - frame.left() - frame.right();
    const int height = available.height() - frame.top() - frame.bottom();
    return {std::max(1, std::min(preferred.width(), width)), std::max(1, std::min(preferred.height(), height))};
}

void WindowFit::watchScreen(QScreen* screen)
{
    if (watched)
        disconnect(watched, nullptr, this, nullptr);
    watched = screen;
    if (screen)
        connect(screen, &QScreen::availableGeometryChanged, this, &WindowFit::apply);
}

void WindowFit::apply()
{
    if (!window->screen())
        return;
    const QRect available = window->screen()->availableGeometry();
    const QMargins frame = window->frameMargins();
    const QSize size = fitted(preferred, available, frame);
    if (window->minimumSize() != size || window->maximumSize() != size || window->size() != size) {
        // Both bounds first from whatever they were, so neither clamps the other.
        window->setMinimumSize(QSize(1, 1));
        window->setMaximumSize(QSize(kUnbounded, kUnbounded));
        window->resize(size);
        window->setMinimumSize(size);
        window->setMaximumSize(size);
    }
    if (!window->isVisible())
        return;
    const QRect outer = window->frameGeometry();
    if (available.contains(QRect(outer.topLeft(), QSize(size.width() + frame.left() + frame.right(),
                                                        size.height() + frame.top() + frame.bottom()))))
        return;
    const int x = std::clamp(outer.x(), available.left(), std::max(available.left(), available.right() + 1 - outer.width()));
    const int y = std::clamp(outer.y(), available.top(), std::max(available.top(), available.bottom() + 1 - outer.height()));
    window->setFramePosition(QPoint(x, y));
}

bool WindowFit::eventFilter(QObject* watchedObject, QEvent* event)
{
    if (watchedObject == window && (event->type() == QEvent::Expose || event->type() == QEvent::Move ||
                                    event->type() == QEvent::Show))
        apply();
    return QObject::eventFilter(watchedObject, event);
}
