#include "params.h"

int readLine(char *buf, FILE *fp)
{
    const int LINE_MAX_CHARS = 79;  // an 80-byte buffer and its terminating NUL
    int len = 0;
    while (len < LINE_MAX_CHARS) {
        int c = std::getc(fp);
        if (c == EOF) break;
        if (c == '\r') {
            // CR LF is a line end and reads as LF alone; a lone CR is an ordinary character.
            int next = std::getc(fp);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, fp);
        }
        buf[len++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[len] = '\0';
    if (std::ferror(fp)) return 0;
    return len;
}

Result readParams(double *freq, double *amp, double *phase, FILE *fp, int *count)
{
    char line[80];
    int n = 0;
    *count = 0;
    while (readLine(line, fp) > 0) {
        if (line[0] == '#' || line[0] == '\n') continue;
        if (n >= MAXSINES) return Status::TooManyLines;
        switch (std::sscanf(line, "%lf %lf %lf", &freq[n], &amp[n], &phase[n])) {
        case 3:
            n++;
            break;
        case 2:
            phase[n] = 0.0;
            n++;
            break;
        case 1:
            // A frequency alone on the first component line is a whole list: one
            // component of amplitude 1, and the rest of the stream stays unread.
            if (n == 0) {
                amp[0] = 1.0;
                phase[0] = 0.0;
                *count = 1;
                return Status::Ok;
            }
            amp[n] = amp[n - 1];
            phase[n] = 0.0;
            n++;
            break;
        default:
            return Status::IllegalForm;
        }
    }
    if (std::ferror(fp)) return Status::ReadError;
    if (n == 0) return Status::NoParameters;
    *count = n;
    return Status::Ok;
}
