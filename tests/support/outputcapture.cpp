// Captures the C standard output and error streams into temporary files.
#include "outputcapture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

int temporaryFile()
{
    char name[] = "/tmp/outputcaptureXXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0)
        unlink(name);
    return fd;
}

QByteArray readAll(int fd)
{
    QByteArray data;
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        data.append(buffer, int(n));
    return data;
}

} // namespace

OutputCapture::OutputCapture()
{
    fflush(stdout);
    fflush(stderr);
    outFile = temporaryFile();
    errFile = temporaryFile();
    savedOut = dup(STDOUT_FILENO);
    savedErr = dup(STDERR_FILENO);
    dup2(outFile, STDOUT_FILENO);
    dup2(errFile, STDERR_FILENO);
}

OutputCapture::~OutputCapture()
{
    finish();
}

void OutputCapture::finish()
{
    if (savedOut < 0)
        return;
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    savedOut = savedErr = -1;
    out = readAll(outFile);
    err = readAll(errFile);
    close(outFile);
    close(errFile);
}
