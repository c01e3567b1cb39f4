// Captures what the process writes to its C standard output and error
// streams (file descriptors 1 and 2) between construction and finish().
#ifndef OUTPUTCAPTURE_H
#define OUTPUTCAPTURE_H

#include <QByteArray>

class OutputCapture
{
public:
    OutputCapture();
    ~OutputCapture();

    // Stops capturing and restores the streams; the texts stay readable.
    void finish();

    QByteArray standardOutput() const { return out; }
    QByteArray standardError() const { return err; }

private:
    Q_DISABLE_COPY(OutputCapture)
    int savedOut = -1;
    int savedErr = -1;
    int outFile = -1;
    int errFile = -1;
    QByteArray out;
    QByteArray err;
};

#endif // OUTPUTCAPTURE_H
