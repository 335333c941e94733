#include "upgrade/progress.h"

#include "inventory/text_field.h"

void progress_line::download(long long sent, long long total) {
    if (!enabled_) return;
    const long long percent = total > 0 ? sent * 100 / total : 100;
    text_field<128> text{};
    format_text(text, "Downloading firmware: %lld of %lld bytes (%lld%%)", sent, total, percent);
    show(text.data());
}

void progress_line::countdown(std::uint32_t seconds_left) {
    if (!enabled_) return;
    text_field<128> text{};
    format_text(text, "Waiting for the drives to take up the firmware: %u s", static_cast<unsigned>(seconds_left));
    show(text.data());
}

void progress_line::late_countdown(std::uint32_t seconds_left) {
    if (!enabled_) return;
    text_field<128> text{};
    format_text(text, "Waiting for the drives that are still restarting: at most %u s",
                static_cast<unsigned>(seconds_left));
    show(text.data());
}

void progress_line::finish() {
    if (!showing_) return;
    std::fputc('\n', out_);
    std::fflush(out_);
    showing_ = false;
    last_width_ = 0;
}

void progress_line::show(const char* text) {
    const int width = static_cast<int>(text_of(text, 128).size());
    // Blanks cover whatever a longer previous text left behind.
    const int padding = last_width_ > width ? last_width_ - width : 0;
    std::fprintf(out_, "\r%s%*s", text, padding, "");
    std::fflush(out_);
    showing_ = true;
    last_width_ = width;
}
