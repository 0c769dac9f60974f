#include "auth/StaleInputFilter.h"

#include <QApplication>
#include <QMouseEvent>
#include <QStackedWidget>

StaleInputFilter::StaleInputFilter(QWidget* window, QStackedWidget* pages)
    : m_window(window)
    , m_pages(pages)
{
    QCoreApplication::instance()->installEventFilter(this);
}

int StaleInputFilter::pageState() const
{
    return m_pages->currentIndex() * 2 + (m_pages->isEnabled() ? 1 : 0);
}

bool StaleInputFilter::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    const bool press = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick;
    if (!press || !watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != m_window)
        return false;

    // Judged by the times the presses were made, not by when they arrive: a press follows the
    // last one as part of a double click when the system says it came within the interval.
    const auto* mouse = static_cast<const QMouseEvent*>(event);
    const qint64 timestamp = static_cast<qint64>(mouse->timestamp());
    const int state = pageState();
    if (m_lastPress && state != m_lastPress->pageState) {
        const qint64 gap = timestamp - m_lastPress->timestamp;
        if (gap >= 0 && gap < QApplication::doubleClickInterval())
            return true;
    }
    m_lastPress = Press { timestamp, state };
    return false;
}
