// The service's boxes, to the journal and as the bus object's Box signals.
#include "service/bus_boxes.h"

namespace zrq {

void BusBoxes::collectFailures(bool on) {
    collecting_ = on;
    failures_.clear();
}

void BusBoxes::error(const GbkText& text) {
    journal_.error(text);
    signal(BusManager::BoxKind::Error, text.toUtf8());
}

void BusBoxes::warning(const GbkText& text) {
    journal_.warning(text);
    signal(BusManager::BoxKind::Warning, text.toUtf8());
}

void BusBoxes::plain(const GbkText& text) {
    journal_.plain(text);
    signal(BusManager::BoxKind::Plain, text.toUtf8());
}

void BusBoxes::plainWithCaption(const GbkText& caption, const GbkText& text) {
    journal_.plainWithCaption(caption, text);
    signal(BusManager::BoxKind::Plain, text.toUtf8());
}

void BusBoxes::generalError(const std::string& text) {
    journal_.generalError(text);
    signal(BusManager::BoxKind::Error, text);
}

void BusBoxes::signal(BusManager::BoxKind kind, const std::string& utf8) {
    if (bus_) bus_->box(kind, utf8);
    if (collecting_) {
        if (!failures_.empty()) failures_ += '\n';
        failures_ += utf8;
    }
}

}  // namespace zrq
