%QUORV_PERF  Classify patterns with the nodes that QUORV_TRAIN learned.
%   Labels = QUORV_PERF(Templates, NLabels, vigilance, Patterns, unknown_label,
%       oflag)
%
%   Gives each pattern the label of the node whose box, joined with the
%   pattern, is smallest, when that joined box passes the vigilance test;
%   otherwise the pattern gets unknown_label. Nodes do not change.
%
%   Inputs (all six are required; inputs 3, 5 and 6 are scalars):
%     Templates      K-by-2M matrix from QUORV_TRAIN: per row M lower bounds,
%                    then M upper bounds. M is half the column count (an odd
%                    last column is ignored).
%     NLabels        K-by-1 or 1-by-K vector of node labels from QUORV_TRAIN.
%     vigilance      0 <= vigilance <= 1. A node classifies a pattern when the
%                    joined box's size is at most (1 - vigilance)*M; usually
%                    the value given to QUORV_TRAIN.
%     Patterns       N-by-M double matrix, one pattern per row, scaled as the
%                    training patterns were.
%     unknown_label  Label given to patterns no node classifies (truncated
%                    toward zero to a whole number), e.g. -1.
%     oflag          0 to 3: console output. 0 silent, 1 summary, 2 adds a
%                    line per pattern, 3 also a line before each pattern.
%
%   Output (exactly one is required):
%     Labels         N-by-1 column: the label given to each pattern.
%
%   The summary's FLOPs and comparisons are running totals since the plug-in
%   was loaded; "clear quorv_perf" starts them anew.
%
%   Threads: large calls share the patterns among all the processor cores
%   the session may use. The environment variable QUORV_THREADS caps that
%   number (read at every call), e.g. setenv('QUORV_THREADS', '1') for one
%   thread; unset it, or set it to 0, for all cores. Results and console
%   output are the same for any number of threads.
%
%   Example (train on two thirds of iris, classify the rest; QUORV_DATA
%   finds the bundled data from any folder):
%     D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%     X = D(:, 1:end-1);  y = D(:, end);
%     test = mod(1:size(X, 1), 3)' == 0;
%     lo = min(X(~test, :));  span = max(X(~test, :)) - lo;
%     span(span == 0) = Inf;               % constant features become 0
%     X = (X - repmat(lo, size(X, 1), 1)) ./ repmat(span, size(X, 1), 1);
%     [T, L, P] = quorv_train(X(~test, :), y(~test), 0.75, 0, 1, 0.001, 100, 0, 0);
%     guess = quorv_perf(T, L, 0.75, X(test, :), -1, 1);
%     % Patterns that no box takes at vigilance 0.75 get -1. Vigilance 0 lets
%     % any box through, so a second call gives them the nearest box's label.
%     Xtest = X(test, :);  left = guess == -1;
%     guess(left) = quorv_perf(T, L, 0, Xtest(left, :), -1, 0);
%     accuracy = mean(guess == y(test))
%
%   See also QUORV_TRAIN, QUORV_DEMO, QUORV_DATA.

%!demo
%! % Two boxes: a pattern between them is left unclassified (-1) at vigilance
%! % 0.8; at vigilance 0 any box passes, so a second call gives it the label
%! % of the nearest box.
%! T = [0 0 0.1 0.1; 0.9 0.9 1 1];  L = [1; 2];
%! P = [0.05 0.05; 0.95 0.95; 0.4 0.4];
%! labels = quorv_perf (T, L, 0.8, P, -1, 1)
%! labels(labels == -1) = quorv_perf (T, L, 0, P(labels == -1, :), -1, 0)

%!test
%! T = [0 0 0.1 0.1; 0.9 0.9 1 1];  L = [1; 2];
%! P = [0.05 0.05; 0.95 0.95; 0.4 0.4; 0.7 0.7];
%! assert (quorv_perf (T, L, 0.8, P, -1, 0), [1; 2; -1; -1]);
%! assert (quorv_perf (T, L, 0, P, -1, 0), [1; 2; 1; 2]);
%! assert (quorv_perf (T, L', 0.8, zeros (0, 2), -1, 0), zeros (0, 1));

%!error <QUORV_PERF: 3rd input argument \(vigilance\) must be in \[0.0, 1.0\]\.>
%! quorv_perf ([0 0 1 1], 1, 2, [0.5 0.5], -1, 0);
