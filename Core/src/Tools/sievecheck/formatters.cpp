#include "formatters.h"

#include <cstring>
#include <string>

#include "zudor_host/text_encoding.h"

namespace sievecheck {
namespace {

class Formatter : public zudorhost::RecordFormatter {
public:
    explicit Formatter(std::unique_ptr<zudorhost::RecordWriter> writer) : writer_(std::move(writer)) {}

    void format(const zudorhost::DocumentView &doc, zudorhost::OutputBuffer &records,
                zudorhost::OutputBuffer &messages) override
    {
        if (doc.error != nullptr) {
            // The name as a terminal may show it: the standard error is usually one.
            const std::string &file = doc.input->path;
            messages.append("sievecheck: ", 12);
            zudorhost::appendVisible(messages, file.data(), file.size(), false, scratch_);
            messages.append(": ", 2);
            messages.append(doc.error, std::strlen(doc.error));
            messages.push('\n');
        }
        writer_->write(doc, records);
    }

private:
    std::unique_ptr<zudorhost::RecordWriter> writer_;
    std::string scratch_;
};

} // namespace

std::unique_ptr<zudorhost::RecordFormatter> makeFormatter(std::unique_ptr<zudorhost::RecordWriter> writer)
{
    return std::make_unique<Formatter>(std::move(writer));
}

} // namespace sievecheck
