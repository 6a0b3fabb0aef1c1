#include "app/single_instance.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>

namespace wisket {

namespace {

const QString busName = QStringLiteral("org.wisket.Wisket");
const QString objectPath = QStringLiteral("/org/wisket/Wisket");
const QString showSettingsMethod = QStringLiteral("ShowSettings");
constexpr int callTimeoutMs = 5000;

} // namespace

// The object later instances call; one method, so a virtual object without generated code.
class SingleInstance::Service final : public QDBusVirtualObject {
public:
    explicit Service(std::function<void()> showSettings)
        : m_showSettings(std::move(showSettings)) {}

    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.wisket.Wisket\"><method name=\"ShowSettings\"/></interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != busName || message.member() != showSettingsMethod) {
            return false;
        }
        m_showSettings();
        connection.send(message.createReply());
        return true;
    }

private:
    std::function<void()> m_showSettings;
};

SingleInstance::SingleInstance(std::function<void()> showSettings)
    : m_service(std::make_unique<Service>(std::move(showSettings))) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    // The object is in place before the name, so a call that follows the name at once finds it.
    bus.registerVirtualObject(objectPath, m_service.get());
    const auto reply = bus.interface()->registerService(busName, QDBusConnectionInterface::DontQueueService,
                                                        QDBusConnectionInterface::DontAllowReplacement);
    m_claim = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::owned
                                                                                              : Claim::taken;
    if (m_claim == Claim::taken) {
        bus.unregisterObject(objectPath);
    }
}

SingleInstance::~SingleInstance() {
    release();
}

void SingleInstance::release() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (m_claim == Claim::owned) {
        bus.unregisterService(busName);
        bus.unregisterObject(objectPath);
        m_claim = Claim::released;
    }
}

bool SingleInstance::showRunningSettings() {
    const QDBusMessage call =
        QDBusMessage::createMethodCall(busName, objectPath, busName, showSettingsMethod);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, callTimeoutMs).type() ==
           QDBusMessage::ReplyMessage;
}

} // namespace wisket
