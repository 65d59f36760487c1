/*
 * spawn_timer RUNS PROGRAM [ARGUMENTS...]
 * spawn_timer -l LIST PROGRAM [ARGUMENTS...]
 *
 * Runs the program RUNS times, one after another, and prints the median,
 * minimum and maximum wall time of a run (spawn to exit) in microseconds,
 * the total, the largest peak resident size of a run in KiB, and the last
 * exit status that was not 0 (or 0). The program's own output goes to
 * /dev/null. With -l, it runs once for each line of LIST, the line its last
 * argument: one run per file, as a script would.
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

static int compare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

/* The lines of a file, each a new string; their count in *count. */
static char **read_lines(const char *path, int *count)
{
    char **lines = NULL, *line = NULL;
    size_t size = 0;
    ssize_t length;
    FILE *f = fopen(path, "r");

    *count = 0;
    if (f == NULL)
        return NULL;
    while ((length = getline(&line, &size, f)) > 0) {
        if (line[length - 1] == '\n')
            line[length - 1] = '\0';
        lines = realloc(lines, sizeof(char *) * (*count + 1));
        if (lines == NULL)
            return NULL;
        lines[(*count)++] = strdup(line);
    }
    free(line);
    fclose(f);
    return lines;
}

int main(int argc, char *argv[])
{
    struct timespec start, end;
    posix_spawn_file_actions_t quiet;
    struct rusage usage;
    long max_rss = 0;
    double *times, total = 0;
    char **lines = NULL, **command;
    int runs, status = 0, failed = 0, last, i;
    pid_t pid;

    if (argc >= 4 && strcmp(argv[1], "-l") == 0) {
        lines = read_lines(argv[2], &runs);
        if (lines == NULL || runs < 1) {
            fprintf(stderr, "spawn_timer: no lines in %s\n", argv[2]);
            return 2;
        }
        argv++;
        argc--;
    } else if (argc < 3 || (runs = atoi(argv[1])) < 1) {
        fprintf(stderr, "usage: spawn_timer RUNS PROGRAM [ARGUMENTS...]\n"
                        "       spawn_timer -l LIST PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    /* The command, with room for the line as its last argument. */
    command = calloc(argc, sizeof(char *));
    times = malloc(sizeof(double) * runs);
    if (command == NULL || times == NULL)
        return 2;
    for (i = 2; i < argc; i++)
        command[i - 2] = argv[i];
    last = argc - 2;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    for (i = 0; i < runs; i++) {
        if (lines != NULL)
            command[last] = lines[i];
        clock_gettime(CLOCK_MONOTONIC, &start);
        if (posix_spawn(&pid, command[0], &quiet, NULL, command, environ) != 0) {
            perror(command[0]);
            return 2;
        }
        if (wait4(pid, &status, 0, &usage) != pid)
            return 2;
        clock_gettime(CLOCK_MONOTONIC, &end);
        times[i] = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
        total += times[i];
        if (usage.ru_maxrss > max_rss)
            max_rss = usage.ru_maxrss;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failed = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    qsort(times, runs, sizeof(double), compare);
    printf("median_us=%.1f min_us=%.1f max_us=%.1f total_us=%.0f max_rss_kib=%ld status=%d\n", times[runs / 2],
           times[0], times[runs - 1], total, max_rss, failed);
    free(times);
    return 0;
}
