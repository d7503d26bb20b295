#include "formatters.h"

#include <cstring>
#include <string>

#include "run/run_internals.h"
#include "zudor_host/text_encoding.h"

namespace sievecheck {
namespace {

// A catalogue's run writes a record from the walk it made for the catalogue, and loads the
// record of an unchanged file only where there is output to write it to: the library's own
// formatter interface (run/run_internals.h), which the installed API does not carry.
class Formatter : public zudorhost::KeptRunFormatter {
public:
    explicit Formatter(std::unique_ptr<zudorhost::RecordWriter> writer) : writer_(std::move(writer)) {}

    void format(const zudorhost::DocumentView &doc, zudorhost::FinishedBatch &out) override
    {
        if (doc.skipped)
            return;
        message(doc, out);
        if (writer_)
            writer_->write(doc, out.records);
    }

    // A catalogue's run has walked the record already.
    void formatRecorded(const zudorhost::DocumentView &doc, const char *events, size_t size,
                        zudorhost::FinishedBatch &out) override
    {
        if (doc.skipped)
            return;
        message(doc, out);
        if (writer_)
            writer_->writeRecorded(events, size, out.records);
    }

    bool wantsHeld() const override { return writer_ != nullptr; }

private:
    // A document that failed is named on the standard error too, as a terminal may show it.
    void message(const zudorhost::DocumentView &doc, zudorhost::FinishedBatch &out)
    {
        if (doc.error == nullptr)
            return;
        const std::string &file = doc.input->path;
        zudorhost::OutputBuffer &messages = out.messages;
        messages.append("sievecheck: ", 12);
        zudorhost::appendVisible(messages, file.data(), file.size(), false, scratch_);
        messages.append(": ", 2);
        messages.append(doc.error, std::strlen(doc.error));
        messages.push('\n');
    }

    std::unique_ptr<zudorhost::RecordWriter> writer_;
    std::string scratch_;
};

} // namespace

std::unique_ptr<zudorhost::RecordFormatter> makeFormatter(std::unique_ptr<zudorhost::RecordWriter> writer)
{
    return std::make_unique<Formatter>(std::move(writer));
}

} // namespace sievecheck
