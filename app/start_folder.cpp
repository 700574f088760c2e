#include "app/start_folder.h"

#include <unistd.h>

#include <filesystem>

#include "errors/errors.h"

namespace WIN_NMS {

void EnterStartFolder(const std::string& dir, std::ofstream& errorLog) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path before = fs::current_path(ec);
    if (::chdir(dir.c_str()) != 0) throw TIRN_ERROR::File_Error("Can not open folder " + dir);
    const fs::path after = fs::current_path(ec);
    if (!before.empty() && !fs::equivalent(before, after, ec)) {
        const fs::path left = before / "Err.txt";
        if (fs::is_regular_file(left, ec) && fs::file_size(left, ec) == 0) fs::remove(left, ec);
    }
    errorLog.close();
    errorLog.open("Err.txt");
}

}  // namespace WIN_NMS
