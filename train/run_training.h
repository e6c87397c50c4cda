// The training driver: list presentations over the patterns until nothing
// changes or the presentation limit is reached, then the summary and results.
#ifndef QUORV_TRAIN_RUN_TRAINING_H
#define QUORV_TRAIN_RUN_TRAINING_H

// Inputs are read, never released. On return *Templates holds *template_count
// host rows of 2M doubles and *NLabels their labels, both owned by the
// caller; *Templates is null when memory ran out (nothing is then left to
// release but host blocks).
void run_training(const int *N, const int *M, double **patterns, const double *labels,
                  const double *vigilance, const double *min_size, const double *learning_rate,
                  const double *epsilon, const int *max_list_presentations,
                  const int *trim_option, int *template_count, double ***Templates,
                  double **NLabels, int *list_presentations, int oflag);

#endif
