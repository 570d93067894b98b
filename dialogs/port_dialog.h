// TForm4, "Serial Port": lists the serial ports, takes a port number from a clicked line and asks
// for a switch to the number shown.
#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/message_boxes.h"

class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace zrq {

class TForm4 : public QDialog {
    Q_OBJECT
public:
    // The ports present, as (device path, port name) pairs in ascending port order.
    using PortLister = std::function<std::vector<std::pair<std::string, std::string>>()>;
    // Switches to the port; true when the switch completed and the dialog is to close. May throw
    // (a failed save), which goes to the general error report and keeps the dialog open.
    using PortSwitch = std::function<bool(int port)>;

    TForm4(PortLister listPorts, PortSwitch switchPort, MessageBoxes& boxes,
           QWidget* parent = nullptr);

    void FormActivate();   // rebuilds ListBox1
    void ListBox1Click();  // the clicked line's port number into SpinEdit1
    void Button1Click();   // "使用"
    void Button2Click();   // "返回"

protected:
    bool event(QEvent* event) override;

private:
    // Keeps the outer size, frame included, at 235 x 356 by giving the client area what the
    // window manager's frame leaves, once the frame is known.
    void lookForFrame();

    PortLister listPorts_;
    PortSwitch switchPort_;
    MessageBoxes& boxes_;
    int frameLooksLeft_ = 0;

    QListWidget* ListBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QSpinBox* SpinEdit1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
};

// The list line of one port: port name, "......", device path ("COM3....../dev/ttyS2").
std::string portListLine(const std::string& devicePath, const std::string& portName);

}  // namespace zrq
