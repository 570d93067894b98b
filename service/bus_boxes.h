// The service's boxes with the bus beside the journal: each box goes to the journal as before
// and, while the bus object is up, out as its Box signal; a settings change made over the bus
// also collects the failures it caused, to answer its caller with them.
#pragma once

#include <string>

#include "base/message_boxes.h"
#include "service/bus_manager.h"
#include "service/journal_boxes.h"

namespace zrq {

class BusBoxes final : public MessageBoxes {
public:
    explicit BusBoxes(JournalBoxes& journal) : journal_(journal) {}

    // The bus object to signal the boxes on; null: the journal only.
    void useBus(BusManager* bus) { bus_ = bus; }
    // While on, the texts (UTF-8) of all boxes are kept for failures(): the switches and the
    // save show a box only when something failed.
    void collectFailures(bool on);
    const std::string& failures() const { return failures_; }

    void error(const GbkText& text) override;
    void warning(const GbkText& text) override;
    void plain(const GbkText& text) override;
    void plainWithCaption(const GbkText& caption, const GbkText& text) override;
    void generalError(const std::string& text) override;

private:
    void signal(BusManager::BoxKind kind, const std::string& utf8);

    JournalBoxes& journal_;
    BusManager* bus_ = nullptr;
    bool collecting_ = false;
    std::string failures_;
};

}  // namespace zrq
