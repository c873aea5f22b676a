#pragma once

#include <QMargins>
#include <QObject>
#include <QRect>
#include <QSize>

class QScreen;
class QWindow;

// Keeps a window at a fixed size: its preferred one where that fits the
// screen's available area with the window's frame, else that area. A window
// that would reach past the area is moved into it. Lives as the window's child.
class WindowFit : public QObject
{
public:
    WindowFit(QWindow* window, QSize preferred);

    // The size a window of `preferred` size gets in `available` with `frame` around it.
    static QSize fitted(QSize preferred, const QRect& available, const QMargins& frame);

    void apply();

protected:
    // The frame is known only once the window manager has framed the window.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchScreen(QScreen* screen);

    QWindow* window;
    QSize preferred;
    QScreen* watched = nullptr;
};
