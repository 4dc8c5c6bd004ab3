#include "CsvFile.h"

#include "ExchangeCsv.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace client {

namespace {

// The system's reason for the last failed call, or `fallback` when it gave
// none.
std::string Reason(const char* fallback)
{
    return errno != 0 ? std::generic_category().message(errno) : std::string(fallback);
}

} // namespace

bool CsvFile::Open(const std::filesystem::path& path, Mode mode, std::string* error)
{
    auto fail = [&](std::string reason) {
        if (error)
            *error = std::move(reason);
        file_.close();
        return false;
    };
    file_.close();
    if (path.empty())
        return fail("no file name");
    path_ = path;
    // Unbuffered: the rows are handed over in blocks already, and a block
    // that fails leaves nothing behind in the stream to be written later,
    // so what follows the last whole row in the file is a part of it.
    file_.rdbuf()->pubsetbuf(nullptr, 0);
    errno = 0;
    // Binary: "\n" is written as it is on every system. ate places the
    // stream at the end at once, so that tellp() gives the file's length;
    // app sends every write to the end.
    const std::ios::openmode how = mode == Mode::Append ? std::ios::out | std::ios::app | std::ios::ate
                                                        : std::ios::out | std::ios::trunc;
    file_.open(path_, how | std::ios::binary);
    if (!file_.is_open())
        return fail(Reason("cannot open"));
    const std::streamoff length = file_.tellp();
    if (length < 0)
        return fail(Reason("cannot tell the file's length"));
    size_ = static_cast<std::uintmax_t>(length);
    if (size_ == 0) {
        std::string header(CsvHeader());
        header += '\n';
        std::string reason;
        if (!Write(header, &reason))
            return fail(std::move(reason));
    }
    return true;
}

bool CsvFile::Write(std::string_view rows, std::string* error)
{
    if (!file_.is_open()) {
        if (error)
            *error = "the file is closed";
        return false;
    }
    if (rows.empty())
        return true;
    errno = 0;
    file_.write(rows.data(), static_cast<std::streamsize>(rows.size()));
    file_.flush();
    if (file_) {
        size_ += rows.size();
        return true;
    }
    const std::string reason = Reason("cannot write");
    TakeBack(rows);
    if (error)
        *error = reason;
    return false;
}

void CsvFile::TakeBack(std::string_view rows)
{
    file_.close();
    std::error_code ec;
    const std::uintmax_t length = std::filesystem::file_size(path_, ec);
    if (ec || length <= size_)
        return;
    // The rows that reached the file whole stay; the rest goes.
    const std::uintmax_t reached = std::min<std::uintmax_t>(length - size_, rows.size());
    const std::size_t lastEnd = rows.substr(0, static_cast<std::size_t>(reached)).rfind('\n');
    const std::uintmax_t keep = lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
    std::filesystem::resize_file(path_, size_ + keep, ec);
    size_ += keep;
}

} // namespace client
