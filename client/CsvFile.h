#pragma once

// The one writer of exchange CSV files, for the command-line client's --csv
// and the window's --log alike.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace client {

// A CSV file that holds only whole rows. Rows end in "\n" on every system
// (the file is written as bytes, never as text). Rows are handed over in
// blocks; when a block cannot be written whole (a full disk, a file size
// limit), the file is cut back to end after the last whole row that reached
// it, closed, and the failure reported: a reader never finds half a row.
class CsvFile {
public:
    enum class Mode {
        Append,  // rows go after what the file holds
        Replace, // the file starts empty
    };

    CsvFile() = default;
    CsvFile(const CsvFile&) = delete;
    CsvFile& operator=(const CsvFile&) = delete;

    // Opens the file, creating it if needed, and writes the header line
    // (CsvHeader()) when it is empty. False with the reason in *error; the
    // file then stays closed.
    bool Open(const std::filesystem::path& path, Mode mode, std::string* error = nullptr);
    bool IsOpen() const { return file_.is_open(); }

    // Writes whole rows, each ending in "\n". False with the reason in
    // *error when they could not all be written: the file then ends after
    // the last whole row that reached it, and is closed.
    bool Write(std::string_view rows, std::string* error = nullptr);

    void Close() { file_.close(); }

private:
    // After a failed write: closes the file and cuts off what follows the
    // last whole row of `rows` that reached it.
    void TakeBack(std::string_view rows);

    std::filesystem::path path_;
    std::ofstream file_;
    // Bytes in the file up to the last whole row written.
    std::uintmax_t size_ = 0;
};

} // namespace client
