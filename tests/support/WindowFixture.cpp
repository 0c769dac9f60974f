#include "support/WindowFixture.h"

#include <QtTest>

void WindowFixture::start(std::vector<standin::ListenAddress> listeners,
                          std::vector<standin::Account> accounts)
{
    m_home.clearSettings();
    m_appliance = startAppliance(std::move(listeners), std::move(accounts));
    startWindow();
}

void WindowFixture::stop()
{
    m_inspect.reset();
    m_window.reset();
    m_appliance.reset();
}

void WindowFixture::startWindow(bool exposed)
{
    m_inspect.reset();
    m_window.reset();
    m_window = std::make_unique<VelmoraAuth>();
    m_inspect = std::make_unique<VelmoraAuthInspector>(*m_window);
    m_window->show();
    if (exposed)
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void WindowFixture::pointAt(std::size_t listener)
{
    const auto where = m_appliance->listeners().at(listener);
    m_inspect->setEndpoint(where.address, where.port, where.scheme == standin::Scheme::https);
    m_inspect->setFlags(false, true);
}

void WindowFixture::logIn(std::size_t listener)
{
    pointAt(listener);
    QVERIFY(m_window->login("ann", "secret"));
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 2);
    m_userid = m_inspect->userid();
    m_appliance->clearRequestLog();
}

void WindowFixture::expectConnected()
{
    QVERIFY(m_inspect->isLoggedIn());
    QVERIFY(!m_inspect->isLoggedOut());
    QVERIFY(m_inspect->tickerEnabled());
    QCOMPARE(m_inspect->ui().stackedWidget->currentIndex(), 2);
}

void WindowFixture::expectSessionIntact()
{
    expectConnected();
    QCOMPARE(m_inspect->userid(), m_userid);
}

void WindowFixture::swapKey()
{
    const auto where = m_appliance->listeners();
    m_appliance.reset();
    m_appliance = startAppliance(where);
}

int WindowFixture::logins() const
{
    int found = 0;
    for (const auto& request : m_appliance->requestLog())
        found += request.param("pageto") == "c";
    return found;
}
