#pragma once
// The exception family. The report happens where an exception is made, not where it is
// caught: every constructor that takes a message shows the error box before the throw.

#include <stdexcept>
#include <string>

namespace TIRN_ERROR {

class Error : public std::runtime_error {
public:
    Error();                              // text "RUN TIME ERROR!", shows nothing
    explicit Error(std::string message);  // text = message; shows "Error: " box
    Error(const Error&) = default;        // copies show nothing
    Error& operator=(const Error&) = default;
    ~Error() override;
};

// The derived classes keep what() at "RUN TIME ERROR!"; the message only reaches the box.
class File_Error : public Error {
public:
    File_Error();
    explicit File_Error(std::string message);
    ~File_Error() override;
};

class L3DS_Error : public File_Error {
public:
    explicit L3DS_Error(std::string message);
    ~L3DS_Error() override;
};

class Image_File_Error : public File_Error {
public:
    explicit Image_File_Error(std::string message);
    ~Image_File_Error() override;
};

// The messages for an allocation that failed while a file was read, which a user can act on:
// "FILE declares N WHAT, more than this machine can hold" where the count that failed is known,
// else "FILE needs more memory than this machine can give to load it".
std::string TooManyForMemory(const std::string& file, unsigned long long count, const std::string& what);
std::string NotEnoughMemoryFor(const std::string& file);

class Zero_Division : public Error {
public:
    explicit Zero_Division(std::string message);
    ~Zero_Division() override;
};

}  // namespace TIRN_ERROR
