// What quillport's main does, callable in process by tests.
#ifndef QUILLPORTMAIN_H
#define QUILLPORTMAIN_H

// Runs the one PrinterService with the command line, writes
// "Service stopped with code N" to the event log, and returns N.
int quillportMain(int argc, char **argv);

#endif // QUILLPORTMAIN_H
