/* run_pairs: wall time and peak memory of whole processes, run in turns.
 *
 *   run_pairs ROUNDS PRELOAD COMMAND... [-- COMMAND...]...
 *
 * Each round runs every command once, the order rotating from round to round,
 * with LD_PRELOAD=PRELOAD in the children's environment only and their
 * standard output and error sent to /dev/null. Machine noise drifts over a
 * run, so besides each command's median the first two are compared round by
 * round: the median of their per-round ratios. The children's CPU time (user
 * plus system) is kept the same way. Prints one line per command,
 *   INDEX MEDIAN_US P10_US P90_US MAXRSS_KIB CPU_MEDIAN_US
 * and then
 *   ratio MEDIAN_WALL_RATIO MEDIAN_CPU_RATIO
 * Fails if a child does not exit with status 0. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#define MAX_COMMANDS 8

extern char **environ;

static int compare_doubles(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return (x > y) - (x < y);
}

static double quantile(double *values, int count, double q)
{
	qsort(values, count, sizeof(*values), compare_doubles);
	return values[(int)(q * (count - 1) + 0.5)];
}

static double now_us(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static double us_of(struct timeval t)
{
	return t.tv_sec * 1e6 + t.tv_usec;
}

/* Runs argv once; returns its wall time in microseconds and stores its peak
 * RSS and CPU time. */
static double run_once(char **argv, char **envp, const posix_spawn_file_actions_t *actions,
		       long *maxrss, double *cpu_us)
{
	struct rusage usage;
	pid_t pid;
	int status;
	double start = now_us();

	if (posix_spawn(&pid, argv[0], actions, NULL, argv, envp) != 0) {
		perror(argv[0]);
		exit(2);
	}
	if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "run_pairs: %s did not exit with status 0\n", argv[0]);
		exit(2);
	}
	*maxrss = usage.ru_maxrss;
	*cpu_us = us_of(usage.ru_utime) + us_of(usage.ru_stime);
	return now_us() - start;
}

int main(int argc, char **argv)
{
	char **commands[MAX_COMMANDS];
	int count = 0;
	posix_spawn_file_actions_t actions;

	if (argc < 4) {
		fprintf(stderr, "usage: run_pairs ROUNDS PRELOAD COMMAND... [-- COMMAND...]...\n");
		return 2;
	}
	int rounds = atoi(argv[1]);
	commands[count++] = &argv[3];
	for (int i = 3; i < argc; i++)
		if (strcmp(argv[i], "--") == 0 && count < MAX_COMMANDS) {
			argv[i] = NULL;
			commands[count++] = &argv[i + 1];
		}

	/* The children's environment: ours, with LD_PRELOAD set. */
	size_t env_count = 0;
	while (environ[env_count] != NULL)
		env_count++;
	char **envp = calloc(env_count + 2, sizeof(*envp));
	size_t kept = 0;
	for (size_t i = 0; i < env_count; i++)
		if (strncmp(environ[i], "LD_PRELOAD=", 11) != 0)
			envp[kept++] = environ[i];
	char preload[4096];
	snprintf(preload, sizeof(preload), "LD_PRELOAD=%s", argv[2]);
	envp[kept++] = preload;

	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

	double *times[MAX_COMMANDS], *cpu[MAX_COMMANDS];
	double *ratios = calloc(rounds, sizeof(double)), *cpu_ratios = calloc(rounds, sizeof(double));
	long peak[MAX_COMMANDS] = { 0 };
	for (int c = 0; c < count; c++) {
		times[c] = calloc(rounds, sizeof(double));
		cpu[c] = calloc(rounds, sizeof(double));
	}
	for (int r = 0; r < rounds; r++) {
		for (int k = 0; k < count; k++) {
			int c = (r + k) % count;
			long maxrss;

			times[c][r] = run_once(commands[c], envp, &actions, &maxrss, &cpu[c][r]);
			if (maxrss > peak[c])
				peak[c] = maxrss;
		}
		ratios[r] = count > 1 ? times[0][r] / times[1][r] : 1.0;
		/* The clock ticks in steps, so a CPU time can read 0. */
		cpu_ratios[r] = count > 1 && cpu[1][r] > 0 ? cpu[0][r] / cpu[1][r] : 1.0;
	}
	for (int c = 0; c < count; c++)
		printf("%d %.1f %.1f %.1f %ld %.1f\n", c, quantile(times[c], rounds, 0.5),
		       quantile(times[c], rounds, 0.1), quantile(times[c], rounds, 0.9), peak[c],
		       quantile(cpu[c], rounds, 0.5));
	printf("ratio %.4f %.4f\n", quantile(ratios, rounds, 0.5), quantile(cpu_ratios, rounds, 0.5));
	return 0;
}
