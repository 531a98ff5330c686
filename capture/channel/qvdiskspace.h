#pragma once
// The free and total space of the disk that holds a directory, as both the
// capture control and the capture engine ask for it. The path may be written
// Windows-style ("c:\caps") or as a path of this system. The figures are
// taken at construction and again by each Query.

#include "core/strings/utstring.h"

class QvDiskSpace
{
public:
    // A null or empty path gives error -1.
    explicit QvDiskSpace(const char* path);

    // Samples the disk again; false (error word set) when that failed.
    bool Query();

    // Free bytes that this caller may use (the blocks a file system keeps
    // for its administrator are not among them); -1.0 with an error.
    double GetFreeSpace() const { return m_error != 0 ? -1.0 : m_available; }
    // Bytes of the disk; -1.0 with an error.
    double GetTotalSpace() const { return m_error != 0 ? -1.0 : m_total; }
    // -1 without a path, else the errno of the last failed query; 0 when healthy.
    int GetError() const { return m_error; }
    const UtCString& GetPath() const { return m_path; }

private:
    UtCString m_path; // the path of this system
    int m_error = 0;
    double m_total = 0.0;
    double m_available = 0.0;
};
