#include "support/WindowFixture.h"

#include "support/StoredValues.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QtTest>

void typeInto(QLineEdit* field, const QString& text)
{
    field->clear();
    for (const QChar c : text) {
        // QTest knows key codes for ASCII only.
        if (c.unicode() < 0x80)
            QTest::keyClick(field, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

void click(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

void click(QCheckBox* box)
{
    // It stretches across the form but takes clicks on its box and label only.
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(8, box->height() / 2));
}

void WindowFixture::start(std::vector<standin::ListenAddress> listeners,
                          std::vector<standin::Account> accounts, Show show)
{
    m_home.clearSettings();
    m_appliance = startAppliance(std::move(listeners), std::move(accounts));
    startWindow(show);
}

void WindowFixture::start(Show show)
{
    start({ { "127.0.0.1", 0, standin::Scheme::https } }, { { "ann", "secret", false } }, show);
}

void WindowFixture::stop()
{
    closeWindow();
    m_appliance.reset();
}

qint64 WindowFixture::closeWindow()
{
    QElapsedTimer clock;
    clock.start();
    m_inspect.reset();
    m_window.reset();
    return clock.elapsed();
}

void WindowFixture::startWindow(Show show)
{
    m_inspect.reset();
    m_window.reset();
    m_window = std::make_unique<VelmoraAuth>();
    m_inspect = std::make_unique<VelmoraAuthInspector>(*m_window);
    if (show != Show::hidden)
        m_window->show();
    if (show == Show::exposed)
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

void WindowFixture::earlierRun(const std::string& rememberedUser,
                               const std::string& rememberedPassword)
{
    startWindow(Show::hidden);
    logIn();
    if (!rememberedUser.empty())
        m_inspect->rememberCredentials(rememberedUser, rememberedPassword);
    closeWindow();
    m_appliance->clearRequestLog();
}

void WindowFixture::storeRemembered(const std::string& password)
{
    QVERIFY(storeValue(u"username", "ann"));
    QVERIFY(storeValue(u"password", password));
    QVERIFY(storeValue(u"rememberme", "Yes"));
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

void WindowFixture::submitLogin(const QString& password, const QString& address, int port)
{
    ui().autoDetectIpAddress->setChecked(address.isEmpty());
    ui().lineEdit_ipAdress->setText(address);
    ui().autoDetectPortAddress->setChecked(port == 0);
    ui().lineEdit_portadress->setText(port ? QString::number(port) : QString());
    ui().lineEdit_username->setText(QStringLiteral("ann"));
    ui().lineEdit_password->setText(password);
    QTest::mouseClick(ui().login, Qt::LeftButton);
}

void WindowFixture::logInFromForm(const QString& address, int port)
{
    submitLogin(QStringLiteral("secret"), address,
                port < 0 ? m_appliance->listeners().at(0).port : port);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 2);
    QTRY_VERIFY(ui().stackedWidget->isEnabled());
}

void WindowFixture::logOutFromButton()
{
    QTest::mouseClick(ui().logout, Qt::LeftButton);
    QTRY_COMPARE(ui().stackedWidget->currentIndex(), 0);
}

void WindowFixture::swapKey()
{
    const auto where = m_appliance->listeners();
    m_appliance.reset();
    m_appliance = startAppliance(where);
}

int WindowFixture::requests(const std::string& kind, const std::string& treatment) const
{
    int found = 0;
    for (const auto& request : m_appliance->requestLog())
        found += (kind == "probe" ? request.path == "/isvelmora.php"
                                  : request.param("pageto") == kind)
            && (treatment.empty() || request.treatment == treatment);
    return found;
}

std::vector<std::string> WindowFixture::loginPasswords() const
{
    std::vector<std::string> passwords;
    for (const auto& request : m_appliance->requestLog()) {
        if (request.param("pageto") == "c")
            passwords.push_back(request.param("password").value_or("(none)"));
    }
    return passwords;
}
