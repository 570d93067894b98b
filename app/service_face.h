// The bar as the clock service's face: its menu and dialogs act on the service over the system
// bus, and it shows the service's lamp, status, marks, monitor lines and boxes. The bar keeps no
// clock of its own then; it only shows the local time and date.
#pragma once

#include <QObject>

#include "app/bar_commands.h"
#include "app/service_link.h"
#include "base/local_clock.h"
#include "base/message_boxes.h"

class QTimer;

namespace zrq {

class TForm1;

// Said by a double-click while the service is away (UTF-8).
inline constexpr const char* kServiceStoppedMessage = "时钟服务 zrqd 已停止，正在等待它重新启动。";
// Said when the service refuses a change to a user outside its group (UTF-8).
inline constexpr const char* kServiceRefusedMessage =
    "时钟服务拒绝了这项操作：只有 zrq 组的成员才能更改时钟服务。";
// Said before the service's own text when a call fails otherwise (UTF-8).
inline constexpr const char* kServiceFailedMessage = "时钟服务没有执行这项操作：";

class ServiceFace final : public QObject, public BarCommands {
    Q_OBJECT
public:
    ServiceFace(ServiceLink& link, TForm1& bar, LocalClock& clock, MessageBoxes& boxes);

    // The bar's FormCreate: the service's state shown, the labels' tick started.
    void start();

    // BarCommands: each a call to the service; a failure is said in a plain box once it ends.
    void switchFormat(int format) override;
    void switchPort(int port) override;
    bool switchPortFromDialog(int port) override;
    void switchRate(int baudCode) override;
    void correctNow() override;
    const ClockSettings& settings() const override { return link_.state().clock; }
    void applySettings(const ClockSettings& values) override;
    void observe(bool on) override;
    bool jumpLog() const override { return link_.state().jumpLog; }
    void setJumpLog(bool on) override;
    bool commLog() const override { return link_.state().commLog; }
    void setCommLog(bool on) override;
    GbkText statusMessage() const override;

private:
    void showState();
    void showMonitorLine(const QString& line);
    void tick();
    void set(const QMap<QString, QString>& values);
    ServiceLink::Done reportFailure();

    ServiceLink& link_;
    TForm1& bar_;
    LocalClock& clock_;
    MessageBoxes& boxes_;
    QTimer* tick_;
    int shownSecond_ = -1;
    int shownDay_ = -1;
};

}  // namespace zrq
