/*
 * spawn_timer RUNS PROGRAM [ARGUMENTS...]
 *
 * Runs the program RUNS times, one after another, and prints the median,
 * minimum and maximum wall time of a run (spawn to exit) in microseconds,
 * the largest peak resident size of a run in KiB, and the last exit status.
 * The program's own output goes to /dev/null.
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

static int compare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char *argv[])
{
    struct timespec start, end;
    posix_spawn_file_actions_t quiet;
    struct rusage usage;
    long max_rss = 0;
    double *times;
    int runs, status = 0, i;
    pid_t pid;

    if (argc < 3 || (runs = atoi(argv[1])) < 1) {
        fprintf(stderr, "usage: spawn_timer RUNS PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    times = malloc(sizeof(double) * runs);
    if (times == NULL)
        return 2;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    for (i = 0; i < runs; i++) {
        clock_gettime(CLOCK_MONOTONIC, &start);
        if (posix_spawn(&pid, argv[2], &quiet, NULL, argv + 2, environ) != 0) {
            perror(argv[2]);
            return 2;
        }
        if (wait4(pid, &status, 0, &usage) != pid)
            return 2;
        clock_gettime(CLOCK_MONOTONIC, &end);
        times[i] = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
        if (usage.ru_maxrss > max_rss)
            max_rss = usage.ru_maxrss;
    }
    qsort(times, runs, sizeof(double), compare);
    printf("median_us=%.1f min_us=%.1f max_us=%.1f max_rss_kib=%ld status=%d\n", times[runs / 2], times[0],
           times[runs - 1], max_rss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    free(times);
    return 0;
}
