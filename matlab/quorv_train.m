%QUORV_TRAIN  Learn labelled boxes (nodes) from training patterns.
%   [Templates, NLabels, list_presentations] = QUORV_TRAIN(Patterns, PLabels,
%       vigilance, min_size, learning_rate, epsilon, max_list_presentations,
%       trim_option, oflag)
%
%   Presents the whole list of patterns again and again. Each pattern selects
%   the node whose box, joined with the pattern, is smallest, when that joined
%   box passes the vigilance test and the node has the pattern's label, and may
%   enlarge it; otherwise it creates a node of its own. Training ends when a
%   presentation neither creates nor changes a node, or after
%   max_list_presentations presentations.
%
%   Inputs (all nine are required; inputs 3 to 9 are scalars):
%     Patterns                N-by-M double matrix, one pattern per row.
%                             Features are best scaled to [0, 1].
%     PLabels                 N-by-1 or 1-by-N double vector of class labels
%                             (whole numbers).
%     vigilance               0 <= vigilance <= 1. A node may encode a pattern
%                             when the joined box's size (the sum of its
%                             widths) is at most (1 - vigilance)*M.
%     min_size                0 <= min_size <= M*(1 - vigilance). Size of a
%                             node made from a pattern: a cube of side
%                             min_size/M around it (0 gives a point).
%     learning_rate           0 < learning_rate <= 1. 1 is fast learning (the
%                             node becomes the joined box); below 1 each bound
%                             moves by that share of its distance.
%     epsilon                 epsilon >= 0. Slow learning moves a node only when
%                             some bound would move by more than epsilon.
%     max_list_presentations  Whole number >= 1: limit on the presentations.
%     trim_option             0 returns every node; 1 drops the nodes that no
%                             pattern of the last presentation selected.
%     oflag                   0 to 4: console output. 0 silent, 1 summary,
%                             2 adds a line per presentation, 3 a line per
%                             pattern, 4 also the vigilance and label failures.
%   Options given as non-whole numbers are truncated toward zero.
%
%   Outputs (exactly three are required):
%     Templates               K-by-2M matrix, one row per node: its M lower
%                             bounds, then its M upper bounds.
%     NLabels                 K-by-1 column of node labels.
%     list_presentations      Number of list presentations made (the last one,
%                             without change, is not counted on convergence).
%
%   The summary's FLOPs and comparisons are running totals since the plug-in
%   was loaded; "clear quorv_train" starts them anew.
%
%   Threads: the environment variable QUORV_THREADS caps the number of
%   threads the plug-ins may use (read at every call), e.g.
%   setenv('QUORV_THREADS', '1'); unset, or 0, means all the processor cores
%   the session may use. Training searches on the calling thread at present;
%   QUORV_PERF shares large calls among threads. Results and console output
%   are the same for any number of threads.
%
%   Example (train on two thirds of iris, classify the rest; QUORV_DATA
%   finds the bundled data from any folder):
%     D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%     X = D(:, 1:end-1);  y = D(:, end);
%     test = mod(1:size(X, 1), 3)' == 0;
%     lo = min(X(~test, :));  span = max(X(~test, :)) - lo;
%     span(span == 0) = Inf;               % constant features become 0
%     X = (X - repmat(lo, size(X, 1), 1)) ./ repmat(span, size(X, 1), 1);
%     [T, L, P] = quorv_train(X(~test, :), y(~test), 0.75, 0, 1, 0.001, 100, 0, 1);
%     guess = quorv_perf(T, L, 0.75, X(test, :), -1, 1);
%     % Patterns that no box takes at vigilance 0.75 get -1. Vigilance 0 lets
%     % any box through, so a second call gives them the nearest box's label.
%     Xtest = X(test, :);  left = guess == -1;
%     guess(left) = quorv_perf(T, L, 0, Xtest(left, :), -1, 0);
%     accuracy = mean(guess == y(test))
%
%   See also QUORV_PERF, QUORV_DEMO, QUORV_DATA.

%!demo
%! % Two thirds of iris to train on, the rest to classify; the patterns no box
%! % takes then go to the nearest box (a second call at vigilance 0).
%! D = dlmread (quorv_data ('iris.csv'), ',', 1, 0);
%! X = D(:, 1:end-1);  y = D(:, end);
%! test = mod (1:rows (X), 3)' == 0;
%! lo = min (X(~test, :));  span = max (X(~test, :)) - lo;
%! X = (X - lo) ./ span;
%! [T, L, P] = quorv_train (X(~test, :), y(~test), 0.75, 0, 1, 0.001, 100, 0, 1);
%! guess = quorv_perf (T, L, 0.75, X(test, :), -1, 0);
%! printf ('%d nodes; %.1f%% right, %d patterns unclassified\n', rows (T), ...
%!         100 * mean (guess == y(test)), sum (guess == -1));
%! Xtest = X(test, :);  left = guess == -1;
%! guess(left) = quorv_perf (T, L, 0, Xtest(left, :), -1, 0);
%! printf ('with the nearest box for those: %.1f%% right\n', 100 * mean (guess == y(test)));

%!test
%! % Two classes in opposite corners: one box each after one presentation,
%! % and a pattern far from both left unclassified.
%! X = [0 0; 0.1 0.1; 1 1; 0.9 0.9];  y = [1; 1; 2; 2];
%! [T, L, P] = quorv_train (X, y, 0.8, 0, 1, 0.001, 10, 0, 0);
%! assert (T, [0 0 0.1 0.1; 0.9 0.9 1 1]);
%! assert (L, [1; 2]);
%! assert (P, 1);
%! assert (quorv_perf (T, L, 0.8, [0.05 0.05; 0.95 0.95; 0.5 0.5], -1, 0), [1; 2; -1]);

%!error <QUORV_TRAIN: 3rd input argument \(vigilance\) must be in \[0,1\]\.>
%! quorv_train ([0 0], 1, 2, 0, 1, 0.001, 10, 0, 0);
