// The words for what happened in a run, as every output says them: what ended a transfer and
// where, what a port's error means and what to do, a byte by its name, and what the
// controller holds after the run. The counts they are made from are tally.cpp's.
#include <stdio.h>
#include <string.h>

#include "link/link.h"
#include "protocol/protocol.h"
#include "run/download.h"
#include "send/send.h"

namespace {
// Counts as the texts spell them: "five NAKs".
const char *const CountWords[] = {"no",   "one", "two",   "three", "four",
                                  "five", "six", "seven", "eight", "nine"};
static_assert(BLOCK_SEND_ATTEMPTS < (int)(sizeof CountWords / sizeof CountWords[0]),
              "the sends of a block are spelt out");
}  // namespace

const char *const SENDS = CountWords[BLOCK_SEND_ATTEMPTS];

namespace {
// What the system's error for a port means, and what to do about it.
const char *const CHECK_CABLE = "check the cable or the adapter, and see --list-ports";
// clang-format off
const struct {
    DWORD error;
    const char *cause;
    const char *advice;  // 0: portsAccessDenied() says both for this system
} PortCauses[] = {
    {ERROR_FILE_NOT_FOUND,       "not found",                 CHECK_CABLE},
    {ERROR_PATH_NOT_FOUND,       "not found",                 CHECK_CABLE},
    {ERROR_DEVICE_NOT_CONNECTED, "no device behind it",       "plug the adapter in again, or see --list-ports"},
    {ERROR_NOT_SUPPORTED,        "not a serial port",         "name a serial port (--port; --list-ports lists them)"},
    {ERROR_ACCESS_DENIED,        "access denied",             0},
    {ERROR_SHARING_VIOLATION,    "in use by another program", "close it and run again"},
};
// clang-format on
}  // namespace

void describePort(DWORD systemError, const char **cause, const char **advice) {
    *cause = "the device does not take these settings";
    *advice = "try another rate (--baud) or port";
    for (const auto &known : PortCauses) {
        if (known.error == systemError && known.advice != 0) {
            *cause = known.cause;
            *advice = known.advice;
        } else if (known.error == systemError) {
            portsAccessDenied(cause, advice);
        }
    }
}

BYTE describeByte(BYTE value, char *out, int size) {
    const struct {
        BYTE value;
        const char *name;
    } Names[] = {{ACK, "ACK"}, {NAK, "NAK"}, {CAN, "CAN"},
                 {ENQ, "ENQ"}, {STX, "STX"}, {ETX, "ETX"}};
    snprintf(out, (size_t)size, "0x%02X", value);
    for (const auto &named : Names) {
        if (named.value == value) {
            snprintf(out, (size_t)size, "%s", named.name);
            return 1;
        }
    }
    return 0;
}

namespace {

const char *const NOT_ANSWERED =
    "check the cable, the port and the rate, and that the controller is waiting for a download";
const char *const BUSY = "the controller is busy or not ready for a download: wait, then run again";
const char *const STRAY =
    "a byte left from an earlier exchange, or noise: run again; if it comes back, check the cable";

// The header is answered ACK, then ENQ. A refusal (NAK, CAN) is a busy controller's; ACK
// twice, or another control character out of its turn, a stray byte; a byte that is no control
// character, noise or a rate the controller does not use.
void describeHeaderAnswer(const TransferResult *r, char *cause, size_t size, const char **hint) {
    char answer[16];
    BYTE named = describeByte(r->answerByte, answer, sizeof answer);
    *hint = STRAY;
    if (r->answer == ANSWER_NONE) {
        snprintf(cause, size, "the device took the header (ACK) but sent no ENQ");
        *hint = NOT_ANSWERED;
    } else if (r->answerByte == NAK || r->answerByte == CAN) {
        snprintf(cause, size, "the device refused the header with %s", answer);
        *hint = BUSY;
    } else if (r->headerAnswers == 2 && r->answerByte == ACK) {
        snprintf(cause, size, "ACK twice to the header: a stray byte on the line");
    } else if (named) {
        snprintf(cause, size,
                 "the device answered the header with %s where %s was due: a stray byte on "
                 "the line",
                 answer, r->headerAnswers == 2 ? "ENQ" : "ACK");
    } else {
        snprintf(cause, size,
                 "the device answered the header with %s, no control character: noise on the "
                 "line or a wrong rate",
                 answer);
        *hint = "check that the rate (--baud) is the controller's, and the cable";
    }
}

}  // namespace

void describeEnd(const Transfer *t, char *cause, int causeSize, const char **hint) {
    const TransferResult *r = &t->result;
    size_t size = (size_t)causeSize;
    char answer[16];
    describeByte(r->answerByte, answer, sizeof answer);
    BYTE silent = r->answer == ANSWER_NONE;
    int k = r->block + 1;
    *hint = 0;
    switch (r->end) {
        case TRANSFER_UNREADABLE:
            if (r->problem == IMAGE_CHANGED) {
                snprintf(cause, size,
                         "%s changed since the check: its SHA-256 was %s, now %s; nothing of it "
                         "was sent",
                         t->name, t->checked, t->sha256);
                break;
            }
            snprintf(cause, size, "the file could not be read: %s", imageProblemText(r->problem));
            *hint = "check the file in the folder named by --dir (or the current one)";
            break;
        case TRANSFER_HEADER_UNANSWERED:
            snprintf(cause, size, "no answer to the header");
            *hint = NOT_ANSWERED;
            if (!silent || r->headerAnswers != 0) {
                describeHeaderAnswer(r, cause, size, hint);
            }
            break;
        case TRANSFER_COUNT_UNANSWERED:
            if (silent) {
                snprintf(cause, size, "no answer to the block count");
            } else {
                snprintf(cause, size, "the device answered the block count with %s, not ACK",
                         answer);
            }
            *hint =
                "the controller took the header but not the count: check the rate (--baud) "
                "and run again";
            break;
        case TRANSFER_BLOCK_UNANSWERED:
            if (t->silences == BLOCK_SEND_ATTEMPTS) {
                snprintf(cause, size, "no answer after block %d of %d", k, t->blocks);
                *hint = "the line went quiet: check the cable and that the controller is on";
            } else if (t->naks == BLOCK_SEND_ATTEMPTS) {
                snprintf(cause, size, "%s NAKs on block %d of %d", SENDS, k, t->blocks);
                *hint = "the line spoils the frames: try a lower rate (--baud) or another cable";
            } else {
                snprintf(cause, size,
                         "block %d of %d sent %s times without ACK (%d NAK, %d no answer, "
                         "last %s)",
                         k, t->blocks, SENDS, t->naks, t->silences, silent ? "none" : answer);
                *hint = "the line is unreliable: try a lower rate (--baud) or another cable";
            }
            break;
        case TRANSFER_CANCELLED:
            snprintf(cause, size, "cancelled by the device (CAN) at block %d of %d", k, t->blocks);
            *hint =
                "the controller refused the file: check that it is the right file for the "
                "slot";
            break;
        case TRANSFER_PORT_LOST:
            snprintf(cause, size, "the port went away");
            break;
        default:
            snprintf(cause, size, "stopped");
            break;
    }
}

void controllerLine(char *out, int size) {
    char full[300] = "", part[300] = "", none[300] = "", partial[64] = "";
    int pass;
    FileId id;
    for (int i = 0; plannedStep(i, &pass, &id) != 0; i++) {
        int blocks, taken;
        Holding state = holdingOf(i, &blocks, &taken);
        char name[32];
        plannedName(i, name, sizeof name);
        char *list = state == HOLDS_ALL ? full : state == HOLDS_PART ? part : none;
        snprintf(list + strlen(list), sizeof full - strlen(list), "%s%s", list[0] ? ", " : "",
                 name);
        if (state == HOLDS_PART) {
            snprintf(list + strlen(list), sizeof full - strlen(list), " (%d of %d blocks)", taken,
                     blocks);
            snprintf(partial, sizeof partial, "%s", name);
        }
    }
    if (!part[0] && !none[0]) {
        snprintf(out, (size_t)size, "The controller holds every image of the run in full.");
        return;
    }
    snprintf(out, (size_t)size, "The controller holds %s%s%s%s.", full[0] ? full : "nothing",
             full[0] ? " in full" : " of this run", part[0] ? "; in part: " : "", part);
    snprintf(out + strlen(out), (size_t)(size - (int)strlen(out)),
             partial[0] ? " Run again; the controller keeps the partial %s until then."
             : full[0]  ? " Run again to send the rest.%s"
                        : " Run again to send it.%s",
             partial);
}
