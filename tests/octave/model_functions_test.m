% The Octave model functions against the quorv tool on every bundled data set:
% quorv_fit writes the tool's model file byte for byte (single models, votes
% over shuffles, forests), and quorv_predict on a file the tool wrote gives the
% tool's labels, with the nearest-box pass and without. Also the functions'
% test blocks and help examples. Run with the plug-ins, the gateway and the
% model functions on the path:
%   octave-cli --eval "model_functions_test('TOOL', 'DATA_DIR', 'SCRATCH')"
% ROWS (optional, a 4th argument) caps the rows taken from each set.
function model_functions_test(tool, data_dir, scratch, most_rows)
  if nargin < 4
    most_rows = Inf;
  end
  for name = {'quorv_fit', 'quorv_predict', 'quorv_read_model', 'quorv_write_model'}
    [passed, total] = test(name{1}, 'quiet');
    expect(total >= 3 && passed == total, sprintf('%s: %d of %d test blocks pass', name{1}, passed, total));
  end
  expect(~isempty(strfind(help('quorv'), 'quorv_read_model')), 'help quorv lists no quorv_read_model');
  run_examples(data_dir, scratch);

  % Tool options and quorv_fit's for the same run; the first on every set.
  runs = {'',                                                     {};
          '--vigilance 0.9 --votes 3 --seed 5',                   {'Vigilance', 0.9, 'Votes', 3, 'Seed', 5};
          '--votes 5 --max-features sqrt --max-samples 0.5 --seed 3 --no-oob', ...
              {'Votes', 5, 'MaxFeatures', 'sqrt', 'MaxSamples', '0.5', 'Seed', 3};
          '--votes 4 --max-features 2 --no-bootstrap --seed 11 --trim', ...
              {'Votes', 4, 'MaxFeatures', 2, 'Bootstrap', false, 'Seed', 11, 'Trim', true};
          '--shuffle --seed 8 --no-scale --vigilance 0.5', ...
              {'Shuffle', true, 'Seed', 8, 'Scale', false, 'Vigilance', 0.5};
          '--votes 3 --max-features 1 --seed 2 --no-merge --no-oob', ...
              {'Votes', 3, 'MaxFeatures', 1, 'Seed', 2, 'MergeConflicts', false}};
  sets = dir(fullfile(data_dir, '*.csv'));
  expect(numel(sets) >= 9, sprintf('%d data sets in %s', numel(sets), data_dir));
  compared = 0;
  for s = 1:numel(sets)
    [names, X, y, file] = read_set(fullfile(data_dir, sets(s).name), scratch, most_rows);
    for r = 1:size(runs, 1)
      if r > 1 && mod(s + r, 3) ~= 0  % every run on a third of the sets keeps the test short
        continue;
      end
      compare(tool, scratch, sets(s).name, file, names, X, y, runs{r, 1}, runs{r, 2});
      compared = compared + 1;
    end
  end
  compare_names(tool, data_dir, scratch);
  printf('model functions agree with %s: %d runs on %d data sets\n', tool, compared, numel(sets));
end

function [names, X, y, file] = read_set(path, scratch, most_rows)
  fid = fopen(path, 'r');
  names = strsplit(fgetl(fid), ',');
  fclose(fid);
  D = dlmread(path, ',', 1, 0);
  file = path;
  if rows(D) > most_rows  % the first rows alone, for the tool as well
    D = D(1:most_rows, :);
    [~, base] = fileparts(path);
    file = fullfile(scratch, [base '_head.csv']);
    fid = fopen(file, 'w');
    fprintf(fid, '%s\n', strjoin(names, ','));
    fclose(fid);
    dlmwrite(file, D, '-append', 'precision', '%.17g');
  end
  X = D(:, 1:end-1);
  y = D(:, end);
end

function compare(tool, scratch, set, file, names, X, y, options, fit_options)
  what = sprintf('%s, %s', set, options);
  printf('%s: %d rows\n', what, rows(X));
  tool_model = fullfile(scratch, 'tool.model');
  octave_model = fullfile(scratch, 'octave.model');
  shell(sprintf('%s train %s -o %s %s', tool, file, tool_model, options));
  model = quorv_fit(X, y, 'FeatureNames', names(1:end-1), 'LabelName', names{end}, fit_options{:});
  quorv_write_model(model, octave_model);
  expect(strcmp(fileread(tool_model), fileread(octave_model)), [what ': quorv_fit wrote another model']);

  read = quorv_read_model(tool_model);
  for how = {'nearest', 'unknown'}
    predictions = fullfile(scratch, 'predictions.csv');
    shell(sprintf('%s classify %s %s -o %s --unclassified %s', tool, tool_model, file, predictions, how{1}));
    expected = dlmread(predictions, ',', 1, 0)(:, 1);
    got = quorv_predict(read, X, 'Unclassified', how{1});
    expect(isequal(got, expected), sprintf('%s, %s: %d of %d labels differ from the tool''s', what, how{1}, ...
                                           sum(got ~= expected), numel(expected)));
  end
end

function compare_names(tool, data_dir, scratch)
  % Text labels (iris' classes by name, one with a blank): coded,
  % written and answered by name alike.
  [names, X, y] = read_set(fullfile(data_dir, 'iris.csv'), scratch, Inf);
  kinds = {'setosa', 'versi color', 'virginica'};
  file = fullfile(scratch, 'iris_named.csv');
  fid = fopen(file, 'w');
  fprintf(fid, '%s\n', strjoin(names, ','));
  for i = 1:rows(X)
    fprintf(fid, '%s,%s\n', strjoin(arrayfun(@(v) sprintf('%.17g', v), X(i, :), 'UniformOutput', false), ','), ...
            kinds{y(i)});
  end
  fclose(fid);
  tool_model = fullfile(scratch, 'tool.model');
  shell(sprintf('%s train %s -o %s --vigilance 0.95', tool, file, tool_model));
  model = quorv_fit(X, kinds(y)', 'FeatureNames', names(1:end-1), 'LabelName', names{end}, 'Vigilance', 0.95);
  quorv_write_model(model, fullfile(scratch, 'octave.model'));
  expect(strcmp(fileread(tool_model), fileread(fullfile(scratch, 'octave.model'))), ...
         'named iris: quorv_fit wrote another model');
  predictions = fullfile(scratch, 'predictions.csv');
  % At vigilance 1 only boxes of no size take a pattern: some are left out.
  shell(sprintf('%s classify %s %s -o %s --unclassified unknown --vigilance 1', tool, tool_model, file, predictions));
  lines = strsplit(strtrim(fileread(predictions)), "\n");
  expected = cellfun(@(l) strtok(l, ','), lines(2:end)', 'UniformOutput', false);
  got = quorv_predict(quorv_read_model(tool_model), X, 'Unclassified', 'unknown', 'Vigilance', 1);
  expect(isequal(got, expected), sprintf('named iris: %d of %d labels differ from the tool''s', ...
                                         sum(~strcmp(got, expected)), numel(expected)));
  expect(any(strcmp(got, '-1')), 'named iris: no pattern left unclassified at vigilance 1');
end

function run_examples(data_dir, scratch)
  % Each function's help example, as printed, from a folder of its own.
  here = pwd;
  back = onCleanup(@() cd(here));
  cd(scratch);
  D = dlmread(fullfile(data_dir, 'iris.csv'), ',', 1, 0);
  X = D(:, 1:end-1);  y = D(:, end);  %#ok<NASGU> the examples use them
  for name = {'quorv_fit', 'quorv_predict', 'quorv_write_model', 'quorv_read_model', 'quorv'}
    text = help(name{1});
    example = regexp(text, '(?:Example|Getting started):\s*\n((?: {3,}[^\n]*\n)+)', 'tokens', 'once');
    expect(~isempty(example), [name{1} ': no example in the help']);
    evalc(example{1});
  end
end

function shell(command)
  [status, output] = system(command);
  expect(status == 0, sprintf('%s failed (%d): %s', command, status, output));
end

function expect(ok, message)
  if ~ok
    error('model_functions_test: %s', message);
  end
end
