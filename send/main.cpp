// marvane-send: the window program's "Download Files" from a command line. With the choices
// the options made (options.cpp), checks every file of the run before the port is touched,
// runs the same runDownload with its outputs on a fan, and says how the run ended: the record
// and the exit status (from the ending's row in exits.def) go out here, not by an output.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "send/expect.h"
#include "send/options.h"

const DWORD EXPECT_FILE_MAX = 1 << 20;  // a list is text, never near a megabyte

static FILE *Log, *TraceFile;
static Output *Out;     // the text or the JSON, chosen as marvane-send starts
static BYTE LogOpened;  // the log was looked for: no record of a refusal goes there later

// The files marvane-send writes, each as the system tells it from any other file.
// Where a path leads among the images some run could send: nowhere, to one by its own name,
// to one through a link, or through a link to a file not there that could be one.
enum ImageLead { LEADS_NOWHERE, NAMES_IMAGE, LINKS_TO_IMAGE, LINK_ASTRAY };

struct OutputFile {
    const char *option;
    FILE **file;
    FileIdentity identity;
    BYTE known;
    const char *path;
    BYTE foreign;       // it held something else than marvane-send's own log or trace
    ImageLead catalog;  // an image some run could send, by its name or a link
    char image[SLOT_NAME_SIZE + 160];  // which, in words
};
static OutputFile LogOutput = {"--log", &Log, {}, 0, 0, 0, LEADS_NOWHERE, ""};
static OutputFile TraceOutput = {"--trace", &TraceFile, {}, 0, 0, 0, LEADS_NOWHERE, ""};
static OutputFile *const Outputs[] = {&LogOutput, &TraceOutput};
static ExpectList Expected;
static FileIdentity ListFile;  // --expect's, when it has one
static BYTE ListKnown;
// What each image was at the check, by slot: its step sends exactly those bytes or nothing.
static DWORD Sizes[SLOT_COUNT];
static char Checked[SLOT_COUNT][65];

RunFacts Facts;

// When marvane-send starts: its time, computer and user, and the run's id.
static void initFacts() {
    memset(&Facts, 0, sizeof Facts);
    Facts.startMs = GetTickCount();
    time_t now = time(NULL);
    strftime(Facts.started, sizeof Facts.started, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    consoleWhoAndWhere(Facts.computer, sizeof Facts.computer, Facts.user, sizeof Facts.user);
    // Unique among the runs of a log: the moment, the computer and the process.
    char seed[600], sha256[65] = "";
    snprintf(seed, sizeof seed, "%s %s %lu %lu", Facts.started, Facts.computer, consoleProcessId(),
             (unsigned long)Facts.startMs);
    sha256Hex((const BYTE *)seed, (DWORD)strlen(seed), sha256);
    snprintf(Facts.run, sizeof Facts.run, "%.16s", sha256);
}

void flushOutput() {
    if ((fflush(stdout) != 0 || ferror(stdout)) && !Facts.outputLost) {
        Facts.outputLost = 1;
        Facts.outputError = errno;
        requestStop();  // nobody reads what the run says: it stops as an interrupt stops it
    }
}

const char *checkedImage(int slot, DWORD *size) {
    *size = Sizes[slot];
    return Checked[slot];
}

// --expect: the supplier's list, read whole before the port is touched, and its own SHA-256
// for the record.
static BYTE readExpectList(const char *path) {
    static char text[EXPECT_FILE_MAX + 1];
    FILE *f = fopen(path, "rb");
    size_t size = f != 0 ? fread(text, 1, sizeof text, f) : 0;
    DWORD error = GetLastError();
    BYTE ok = f != 0 && !ferror(f) && size <= EXPECT_FILE_MAX;
    if (!ok) {  // a folder is named so, as the images' problems are
        problem("list-unreadable", "--expect", "the list cannot be read (--expect): %s: %s", path,
                size > EXPECT_FILE_MAX ? "larger than any list of images"
                                       : filesWhyUnopened(path, error));
    }
    if (f != 0) {
        fclose(f);
    }
    int line = 0;
    ExpectProblem fault = ok ? parseExpectList(text, (DWORD)size, &Expected, &line) : EXPECT_OK;
    if (fault == EXPECT_CONFLICT) {  // the image named, and where the list named it first
        const ExpectedImage *first = &Expected.images[Expected.clash];
        problem("list-malformed", "--expect", "the list %s (--expect), line %d: %s, %s on line %d",
                path, line, first->name, expectProblemText(fault), first->line);
    } else if (fault != EXPECT_OK) {
        problem("list-malformed", "--expect", "the list %s (--expect), line %d: %s", path, line,
                expectProblemText(fault));
    }
    Facts.expectPath = path;
    ListKnown = filesIdentity(path, &ListFile);  // before --dir moves the current folder
    sha256Hex((const BYTE *)text, (DWORD)size, Facts.expectSha256);
    return ok && fault == EXPECT_OK;
}

// The image's hash against the list: listed, with the same SHA-256. Said, and with --json
// told, either way.
static BYTE asExpected(const char *name, const char sha256[65]) {
    const ExpectedImage *listed = findExpected(&Expected, name);
    BYTE match = listed != 0 && strcmp(listed->sha256, sha256) == 0;
    Out->calls->expected(Out, name, sha256, listed != 0 ? listed->sha256 : 0,
                         listed != 0 ? listed->line : 0, match);
    if (listed == 0) {
        fileProblem("not-listed", name, "%s is not in the list %s (--expect): it is not to be sent",
                    name, Opt.expect);
    } else if (!match) {
        fileProblem(
            "not-as-listed", name,
            "%s is not the file the list names: its SHA-256 is %s, the list %s line %d says %s",
            name, sha256, Opt.expect, listed->line, listed->sha256);
    }
    return match;
}

// Whether the slot's file can be sent: it is the only one of its name, it opens, all of it
// reads, the device can take it, and the list (--expect) names it so. Says why not.
static BYTE checkFile(int slot, const char *folder) {
    const char *label = SlotLabels[slot];
    const char *name = Slots[slot].name;
    char onDisk[SLOT_NAME_SIZE], twin[SLOT_NAME_SIZE];
    if (filesFindName(name, onDisk, twin, sizeof twin) && twin[0] != 0) {
        fileProblem("case-twin", name,
                    "%s file %s: %s holds both %s and %s, names that differ only in case; keep one",
                    label, name, folder, name, twin);
        return 0;
    }
    ImageProblem trouble;
    DWORD error;
    if (!readImage(name, &Sizes[slot], &trouble, &error)) {
        char code[32];
        snprintf(code, sizeof code, "image-%s", imageProblemName(trouble));
        const char *words = imageProblemText(trouble);
        static BYTE pointed;  // once: where the images are, below the first missing one
        char images[1024];
        if (trouble == IMAGE_NOT_FOUND && !pointed &&
            installedImagesFolder(folder, images, sizeof images)) {
            pointed = 1;  // the lines below the first are for the screen, not the record
            fileProblem(
                code, name,
                "%s file %s %s in %s\n"
                "  That is marvane-send's own folder. An installed Marvane keeps the images in\n"
                "  %s: start the \"Marvane command prompt\" entry,\n"
                "  which opens there, or add --dir \"%s\".",
                label, name, words, folder, images, images);
        } else if (trouble == IMAGE_NOT_FOUND) {
            fileProblem(code, name, "%s file %s %s in %s", label, name, words, folder);
        } else if (trouble == IMAGE_TOO_LARGE) {
            fileProblem(code, name, "%s file %s in %s is %s: the device takes %u bytes at most",
                        label, name, folder, words, (unsigned)MAX_IMAGE_SIZE);
        } else {
            fileProblem(code, name, "%s file %s in %s %s%s%s", label, name, folder, words,
                        trouble == IMAGE_NOT_OPENED ? ": " : "",
                        trouble == IMAGE_NOT_OPENED ? filesWhyUnopened(name, error) : "");
        }
        return 0;
    }
    sha256Hex(ImageBuffer, Sizes[slot], Checked[slot]);
    if (Sizes[slot] == 0 && !Opt.allowEmpty) {
        fileProblem("empty-image", name,
                    "%s file %s in %s is empty: it would leave the controller without it "
                    "(--allow-empty sends it anyway)",
                    label, name, folder);
        return 0;
    }
    return Opt.expect == 0 || asExpected(name, Checked[slot]);
}

// Checks every file of the run and that Pump 1 has a make, all before the port is touched,
// and counts the run's transfers and blocks. 0 when one is not fit to go (said why).
static BYTE checkFiles() {
    BYTE ok = 1;
    if (Slots[SLOT_PUMP1].name[0] == 0) {
        problem("no-pump1", "--pump1", "Pump 1 has no make (--pump1): the run would fail there");
        ok = 0;
    }
    char folder[1024];
    filesCurrentDirectory(folder, sizeof folder);
    int pass;
    FileId id;
    for (int i = 0; const StepInfo *step = plannedStep(i, &pass, &id); i++) {
        ok = (pass == 2 || checkFile(step->slot, folder)) && ok;
        Facts.transfers++;
        Facts.blocks += blockCount(Sizes[step->slot]);
    }
    return ok;
}

// --check: what would be sent, in order, into the record's plan and said.
static void printPlan() {
    Out->calls->planStarted(Out);
    int pass, next = 0;
    FileId id;
    for (int i = 0; i < STEP_COUNT; i++) {
        int slot = Steps[i].slot;
        if (Slots[slot].name[0] == 0) {
            Out->calls->planSkipped(Out, SlotLabels[slot]);
        }
        for (; plannedStep(next, &pass, &id) == &Steps[i]; next++) {
            Transfer *t = addTransfer(slot, pass, Slots[slot].name, id, Steps[i].fileType);
            t->planned = 1;
            t->size = Sizes[slot];
            t->blocks = blockCount(t->size);
            memcpy(t->sha256, Checked[slot], sizeof t->sha256);
            Out->calls->planned(Out, next + 1, t);
        }
    }
}

// The outputs on a fan, the tally first: they read what it counted.
static void addOutputsToRun() {
    static RunListenerFan fan;
    BYTE bar = consoleIsTerminal() ? 1 : Opt.progress ? 2 : 0;
    initFan(&fan);
    fanAdd(&fan, tallyListener());
    Out->calls->addListeners(Out, &fan, Opt.quiet, Opt.verbose, bar);
    fanAdd(&fan, TraceFile != 0 ? traceListener(TraceFile, Facts.portText) : &NullListener);
    setRunListener(&fan.listener);
}

// --check's look at the port: opened and set up as a run would, then closed, not a byte
// sent. A port that cannot be set up is told by the outputs, as in a run.
static RunEnd checkPort() {
    addOutputsToRun();
    BYTE ok = openLink(8, NOPARITY);
    closeLink();
    if (ok) {
        Out->calls->portChecked(Out);
    }
    return ok ? RUN_OK : RUN_PORT_FAILED;
}

static BYTE sameFile(const FileIdentity &a, const FileIdentity &b) {
    return a.volume == b.volume && a.index == b.index;
}

// A path's last part: the name of the file in its folder.
static const char *lastPart(const char *path) {
    const char *name = path + strlen(path);
    while (name > path && strchr("\\/", name[-1]) == 0) {
        name--;
    }
    return name;
}

// Whether a path names the run's port: on Windows by its name ("COM1", "com1:", "\\.\COM1"),
// elsewhere as the same file as its device.
static BYTE namesThePort(const char *path, const char *portName, const char *device) {
    FileIdentity port, output;
    if (HAS_DEVICES) {
        return device != 0 && filesIdentity(device, &port) && filesIdentity(path, &output) &&
               sameFile(port, output);
    }
    const char *name = lastPart(path);
    size_t length = strlen(portName);
    return strncasecmp(name, portName, length) == 0 &&
           (name[length] == 0 || strcmp(name + length, ":") == 0);
}

// Whether a file by this name is an image some run could send, in whatever folder: POS.BIN,
// PC_CC.BIN or a make's driver, in any case. Windows opens "GIL_CARD.BIN." and
// "GIL_CARD.BIN::$DATA" as the file itself, so a stream and trailing dots and spaces go.
// Which image it is, into `what`.
static BYTE catalogImage(const char *path, char *what, int size) {
    const char *name = lastPart(path);
    name += name == path && name[0] != 0 && name[1] == ':' ? 2 : 0;  // a drive's folder: Z:LOG
    size_t length = strcspn(name, ":");
    while (length > 0 && strchr(". ", name[length - 1]) != 0) {
        length--;
    }
    auto is = [&](const char *file) {
        return file != 0 && strlen(file) == length && strncasecmp(name, file, length) == 0;
    };
    for (int slot = SLOT_POS; slot <= SLOT_PC_CC; slot++) {
        if (is(Slots[slot].name)) {
            snprintf(what, (size_t)size,
                     "%.64s, an image a run could send (%s, which every run sends)",
                     Slots[slot].name, SlotLabels[slot]);
            return 1;
        }
    }
    for (int i = 0; i < MAKE_COUNT; i++) {
        const char *files[] = {Makes[i].pumpFile, Makes[i].readerFile};
        for (int reader = 0; reader < 2; reader++) {
            if (is(files[reader])) {
                snprintf(what, (size_t)size,
                         "%.64s, an image a run could send (the driver %s and %s take for %s)",
                         files[reader], SlotLabels[reader ? SLOT_READER1 : SLOT_PUMP1],
                         SlotLabels[reader ? SLOT_READER2 : SLOT_PUMP2], Makes[i].label);
                return 1;
            }
        }
    }
    return 0;
}

// The image some run could send that a path leads to, by its own name or by any link on the
// way (log.txt, a link to GIL_CARD.BIN, is that driver), which into `what`.
static ImageLead leadsToImage(const char *path, char *what, int size) {
    static char names[2][4096];
    snprintf(names[0], sizeof names[0], "%s", path);
    for (int hop = 0; hop < 40; hop++) {  // where the system itself gives up on links
        const char *name = names[hop % 2];
        char *next = names[(hop + 1) % 2];
        if (catalogImage(name, what, size)) {
            return hop == 0 ? NAMES_IMAGE : LINKS_TO_IMAGE;
        }
        int behind = filesNameBehind(name, next, sizeof names[0]);
        if (behind < 0) {
            snprintf(what, (size_t)size, "%s, a link to a file that is not there", path);
            return LINK_ASTRAY;
        }
        if (behind == 0 || strcmp(next, name) == 0) {
            break;
        }
    }
    return LEADS_NOWHERE;
}

static const char *leadVerb(ImageLead lead) {
    return lead == LINKS_TO_IMAGE ? "leads to" : "names";
}

// Whether an existing file may take marvane-send's log (or trace) as it is: none yet, empty,
// a device, or its own: a log's first line is a record or a `began` line, even cut short, a
// trace's is timed in milliseconds.
static BYTE readsAsOwn(const char *path, BYTE log) {
    FILE *f = filesKindOf(path) == PATH_FILE ? fopen(path, "rb") : 0;  // a FIFO is not waited on
    char head[64] = "";
    size_t size = f != 0 ? fread(head, 1, sizeof head - 1, f) : 0;
    if (f != 0) {
        fclose(f);
    }
    const char *line = "{\"event\":\"";
    size_t first = strcspn(head, "\r\n");  // a line cut in its first bytes, then ended
    if (log) {
        return size == 0 || strncmp(head, line, strlen(line)) == 0 ||
               (first > 0 && first < size && strncmp(head, line, first) == 0);
    }
    const char *time = head + strspn(head, " ");
    size_t digits = strspn(time, "0123456789");
    return size == 0 || (digits > 0 && strncmp(time + digits, " ms  ", 5) == 0);
}

// The file a log or trace names, found whatever the case of its name as Windows finds it (the
// name itself when there is none yet); 0 when its folder holds two, `twin` the other: which
// one is meant would be a guess.
static BYTE outputOnDisk(const char *path, char onDisk[4096], char twin[4096]) {
    filesFindName(path, onDisk, twin, 4096);
    return twin[0] == 0;
}

// An output opened to be appended to: never the port, nothing written before the run's
// images are known, and nothing ever cut short. 0 when it cannot be (said why).
static BYTE openOutput(OutputFile *out, const char *path, const char *what, const char *from,
                       const char *portName, const char *device) {
    if (path != 0 && path[0] == 0) {
        problem("needs-value", from, "%s (%s) needs a file name", what, from);
        return 0;
    }
    out->path = path;  // as given, for the messages
    char onDisk[4096], twin[4096];
    if (path != 0 && !outputOnDisk(path, onDisk, twin)) {
        problem("case-twin", from, "%s names %s, and its folder holds %s too: keep one", from,
                onDisk, twin);
        return 0;
    }
    path = path != 0 ? onDisk : 0;
    if (path != 0 && namesThePort(path, portName, device)) {
        problem("output-is-port", from, "%s names the port the run goes over, %s: name a file",
                from, portName);
        return 0;
    }
    if (path != 0 && out == &TraceOutput && Out->keepsStandardOutput &&
        filesIsStandardOutput(path)) {
        problem("options-clash", from, "%s names standard output, which --json keeps for JSON",
                from);
        return 0;
    }
    out->catalog = path != 0 ? leadsToImage(path, out->image, sizeof out->image) : LEADS_NOWHERE;
    if (out->catalog == LINK_ASTRAY) {
        problem("output-unopened", from, "%s names %s: name another file", from, out->image);
        return 0;
    }
    // Never opened, nor made: refused once the run's images are known.
    if (out->catalog != LEADS_NOWHERE) {
        out->known = filesIdentity(path, &out->identity);
        return 1;
    }
    out->foreign = path != 0 && !readsAsOwn(path, out == &LogOutput);
    const char *why = 0;
    *out->file = path == 0           ? 0
                 : out == &LogOutput ? filesOpenLog(path, &why)
                                     : filesOpenTrace(path, &why);
    if (path != 0 && *out->file == 0) {
        problem("output-unopened", from, "%s cannot be opened (%s): %s: %s", what, from, path,
                why != 0 ? why : strerror(errno));
        return 0;
    }
    out->known = path != 0 && filesIdentity(path, &out->identity);
    return 1;
}

// No output is an input of the run (an image, the list) or the log, whatever the path that
// names it: found before the port is touched, and the output closed unwritten.
static BYTE outputsTouchNoInput() {
    BYTE ok = 1;
    for (OutputFile *each : Outputs) {
        OutputFile &out = *each;
        char what[4200] = "";
        const char *code = "output-is-image", *verb = "names";
        FileIdentity image;
        for (int slot = 0; slot < SLOT_COUNT && out.known && what[0] == 0; slot++) {
            if (Slots[slot].name[0] != 0 && filesIdentity(Slots[slot].name, &image) &&
                sameFile(image, out.identity)) {
                snprintf(what, sizeof what, "%.*s, an image of the run", SLOT_NAME_SIZE,
                         Slots[slot].name);
            }
        }
        if (what[0] == 0 && out.known && ListKnown && sameFile(ListFile, out.identity)) {
            snprintf(what, sizeof what, "the list --expect reads");
            code = "output-is-list";
        } else if (what[0] == 0 && out.known && &out != &LogOutput && LogOutput.known &&
                   sameFile(LogOutput.identity, out.identity)) {
            snprintf(what, sizeof what, "the file the run's log goes to");
            code = "output-is-log";
        } else if (what[0] == 0 && out.catalog != LEADS_NOWHERE) {  // another run's image
            snprintf(what, sizeof what, "%s", out.image);
            code = "output-is-catalog";
            verb = leadVerb(out.catalog);
        } else if (what[0] == 0 && out.foreign) {  // named by a slip: it is left as it was
            snprintf(what, sizeof what, "%s, a file that is not a %s of marvane-send", out.path,
                     &out == &LogOutput ? "log" : "trace");
            code = "output-is-foreign";
        }
        if (what[0] != 0 && (*out.file != 0 || out.catalog != LEADS_NOWHERE)) {
            problem(code, out.option, "%s %s %s: name another file", out.option, verb, what);
            if (*out.file != 0) {
                fclose(*out.file);
            }
            *out.file = 0;
            ok = 0;
        }
    }
    return ok;
}

// A step's bytes go only when they are the ones checked: a file changed since is not sent,
// and its step keeps both hashes.
static BYTE sameAsChecked(LPCSTR name, const BYTE *bytes, DWORD size) {
    Transfer *t = inFlight();
    for (int slot = 0; slot < SLOT_COUNT; slot++) {
        if (strcmp(Slots[slot].name, name) == 0 && sha256Hex(bytes, size, t->sha256) &&
            strcmp(t->sha256, Checked[slot]) != 0) {
            memcpy(t->checked, Checked[slot], sizeof t->checked);
            return 0;
        }
    }
    return 1;
}

// The run itself, over a tick window; how it ended.
static RunEnd download(HWND window) {
    addOutputsToRun();
    // A run over a port not set up cannot succeed: send nothing; nor one whose adapter was
    // pulled out: stop at once.
    Policy = {.stopsOnPortFailure = 1,
              .stopsWhenLost = 1,
              .deviceWaitMs = (DWORD)Facts.waitSeconds * 1000,
              .imageAccepted = sameAsChecked};
    signalsCatch();
    startTicks(window);
    consoleKeepAwake(1);
    BYTE ok = signalsInterrupted() ? 0 : runDownload();
    consoleKeepAwake(0);
    stopTicks(window);
    DestroyWindow(window);
    Out->calls->controller(Out);
    RunEnd end = runEndOf(ok);
    sayEnd(end);
    return end;
}

// A record of a command line refused before the log was opened goes to the log it names, as
// long as that is a log: a file that is empty or none yet, or marvane-send's own, never an
// image some run could send. Anything else (an image named by a slip, a folder, a device) is
// left alone, and said so.
static FILE *logOfRefusal() {
    const char *path = Opt.log != 0 ? Opt.log : getenv("MARVANE_LOG");
    char onDisk[4096], twin[4096];
    if (path == 0 || path[0] == 0) {
        return 0;
    } else if (!outputOnDisk(path, onDisk, twin)) {
        complain("the refusal is not recorded in %s: its folder holds %s too", onDisk, twin);
        return 0;
    }
    path = onDisk;
    BYTE notAFile = filesKindOf(path) != PATH_FILE;  // a folder, a device
    char image[SLOT_NAME_SIZE + 160];
    ImageLead lead = leadsToImage(path, image, sizeof image);
    BYTE other = lead != LEADS_NOWHERE || notAFile || !readsAsOwn(path, 1);
    const char *why = 0;
    FILE *log = other ? 0 : filesOpenLog(path, &why);
    if (lead != LEADS_NOWHERE) {
        complain("the refusal is not recorded in %s: it %s %s", path, leadVerb(lead), image);
    } else if (log == 0) {
        complain("the refusal is not recorded in %s: %s", path,
                 !other     ? why
                 : notAFile ? filesWhyUnopened(path, 0)
                            : "it is not a log of marvane-send");
    }
    return log;
}

// A line into the log, whole and on the disk, or said why not: the system's words for the call
// that failed, and whether a cut line was left in the log.
static BYTE appendToLog(const char *line, const char *what, const char *then) {
    const char *why;
    BYTE cutLeft;
    if (filesAppendLine(Log, line, &why, &cutLeft)) {
        return 1;
    }
    complain("the run's %s could not be written to the log (--log): %s%s%s", what, why,
             cutLeft ? "; a cut line of it stays in the log" : "", then);
    return 0;
}

// The end of marvane-send, however it came: the record to the log and, with --json, as the
// last line. The exit status is decided here once, and the record names it.
static int finish(RunEnd end) {
    flushOutput();
    if (Facts.mode != MODE_SEND && (end = shownEndOf(end)) == RUN_OUTPUT_CLOSED) {
        sayShownCut();
    }
    // A trace that is not whole is lost evidence, as a record that could not be written is.
    int error = TraceFile != 0 ? traceError() : 0;
    if (TraceFile != 0 && fclose(TraceFile) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        complain("the trace could not be written whole (--trace): %s", strerror(error));
        Facts.traceLost = 1;
    }
    if (!LogOpened && (end == RUN_BAD_INPUT || end == RUN_PORT_FAILED)) {
        Log = logOfRefusal();
    }
    // A lost record or trace is its own outcome: the summary has said how the transfers went.
    int status = Facts.traceLost ? EXIT_NO_RECORD : exitStatusOf(end);
    const char *record = recordLine(end, status);  // the log's and --json's: one object
    BYTE logLost = Log != 0 && !appendToLog(record, "record", "");
    if (Log != 0 && fclose(Log) != 0 && !logLost) {
        complain("the run's record could not be written to the log (--log): %s", strerror(errno));
        logLost = 1;
    }
    if (logLost) {  // the log holds none: --json's says so
        status = EXIT_NO_RECORD;
        record = recordLine(end, status);
    }
    Out->calls->record(Out, record);
    signalsFinished();
    return status;
}

int main(int argc, char **argv) {
    signalsStart();
    initFacts();
    if (argc < 2) {
        Out = outputFor(0);
        Out->calls->opened(Out);
        sayUsage(USAGE);
        return finish(RUN_BAD_INPUT);
    }
    BYTE said = readCommandLine(argc, argv) && readWhoTexts();
    Out = outputFor(Opt.json);
    Out->calls->opened(Out);
    if (!said) {
        return finish(RUN_BAD_INPUT);
    }
    Facts.mode = Opt.mode;
    if (Opt.mode == MODE_HELP || Opt.mode == MODE_VERSION) {
        if (Opt.mode == MODE_HELP) {
            printHelp(Out);
        } else {
            Out->calls->version(Out);
        }
        return finish(RUN_OK);
    }
    ChosenPort chosen;
    RunEnd refused = RUN_BAD_INPUT;
    if (!choosePort(&chosen, &refused) || !chooseRateWaitAndMakes()) {
        return finish(refused);
    }
    Facts.adapter = chosen.adapter;
    Facts.waitSeconds = Opt.wait.text != 0 ? Opt.wait.value : 0;

    if (Opt.mode == MODE_LIST_MAKES || Opt.mode == MODE_LIST_PORTS) {
        Opt.mode == MODE_LIST_MAKES ? listMakes(Out) : listPorts(Out);
        return finish(RUN_OK);
    }
    // Any port the options allow: the menu offers COM1 to COM4, the console reaches further.
    setPort(chosen.number);
    if (chosen.device != 0) {
        portsMapDevice(chosen.number, chosen.device);
    }
    char portName[16], deviceName[600], portText[640];
    snprintf(portName, sizeof portName, "COM%d", chosen.number);
    BYTE hasDevice = portsDeviceOf(chosen.number, deviceName, sizeof deviceName);
    snprintf(portText, sizeof portText, hasDevice ? "%s (%s)" : "%s", portName, deviceName);
    const char *log = Opt.log != 0 ? Opt.log : getenv("MARVANE_LOG");
    log = Opt.log != 0 || (log != 0 && log[0] != 0) ? log : 0;  // an empty variable: no log
    const char *deviceOpened = hasDevice ? deviceName : 0;
    LogOpened = 1;
    BYTE ok = openOutput(&LogOutput, log, "the log", Opt.log != 0 ? "--log" : "MARVANE_LOG",
                         portName, deviceOpened) &&
              openOutput(&TraceOutput, Opt.trace, "the trace", "--trace", portName, deviceOpened) &&
              (Opt.expect == 0 || readExpectList(Opt.expect));
    if (Opt.dir != 0 && !filesChangeDirectory(Opt.dir)) {
        FileIdentity there;
        ok = badInput(
            "no-folder", "--dir",
            filesIdentity(Opt.dir, &there) ? "not a folder (--dir)" : "no such folder (--dir)",
            Opt.dir);
    }
    // The images are where they are read from now: an output that is one, or the list, is
    // closed before anything is written to it, whatever else is wrong.
    if (!outputsTouchNoInput() || !ok) {
        return finish(RUN_BAD_INPUT);
    }
    HWND window = createTickWindow(GetModuleHandleA(NULL));
    if (window == 0) {
        complain("cannot make the window that hosts the timer (system error %u)",
                 (unsigned)GetLastError());
        return finish(RUN_INTERNAL);
    }
    Facts.portName = portName;
    Facts.portText = portText;
    Facts.device = deviceOpened;
    if (!checkFiles()) {
        return finish(RUN_BAD_INPUT);
    }
    if (Opt.mode == MODE_CHECK) {
        printPlan();
        return finish(Opt.noPort ? RUN_OK : checkPort());
    }
    // A run killed outright leaves this line, on the disk before the port opens: a run that
    // cannot leave it sends nothing.
    if (Log != 0 && !appendToLog(beganLine(), "beginning", "; nothing was sent")) {
        fclose(Log);
        Log = 0;
        return finish(RUN_LOG_FAILED);
    }
    return finish(download(window));
}
