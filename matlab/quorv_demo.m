function quorv_demo()
%QUORV_DEMO  Train on two thirds of the iris flowers and classify the rest.
%   QUORV_DEMO loads data/iris.csv, holds out every third flower (the file is
%   sorted by class, so each class gives a third of its rows), scales every
%   feature to [0, 1] with the training rows' ranges, trains with
%   QUORV_TRAIN, classifies the held-out rows with QUORV_PERF and prints the
%   accuracy. The plug-ins must be on the path (with the Octave package,
%   PKG LOAD QUORV does that).
%
%   See also QUORV_TRAIN, QUORV_PERF, QUORV_DATA.

file = quorv_data('iris.csv');
data = dlmread(file, ',', 1, 0);
features = data(:, 1:end-1);
labels = data(:, end);

held = mod((1:size(data, 1))', 3) == 0;
train_x = features(~held, :);
test_x = features(held, :);

% Ranges come from the training rows only; a constant feature becomes 0.
lo = min(train_x, [], 1);
span = max(train_x, [], 1) - lo;
span(span == 0) = Inf;
train_x = scale(train_x, lo, span);
test_x = scale(test_x, lo, span);

vigilance = 0.5;
unknown = -1;
fprintf('iris: %d training and %d test patterns, %d features\n', ...
        size(train_x, 1), size(test_x, 1), size(train_x, 2));
[templates, node_labels, presentations] = quorv_train(train_x, labels(~held), ...
    vigilance, 0, 1, 0.001, 100, 0, 1);
guess = quorv_perf(templates, node_labels, vigilance, test_x, unknown, 1);

truth = labels(held);
fprintf('%d nodes after %d list presentations\n', size(templates, 1), presentations);
fprintf('accuracy: %d of %d test patterns (%.1f%%), %d not classified\n', ...
        sum(guess == truth), numel(truth), 100 * mean(guess == truth), sum(guess == unknown));
end

function x = scale(x, lo, span)
x = (x - repmat(lo, size(x, 1), 1)) ./ repmat(span, size(x, 1), 1);
end
