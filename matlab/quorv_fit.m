function model = quorv_fit(X, y, varargin)
%QUORV_FIT  Train a Quorv model from labelled patterns, as `quorv train` does.
%   MODEL = QUORV_FIT(X, y) scales each feature of X to [0, 1] by its
%   training range, trains QUORV_TRAIN with the tool's defaults and returns
%   the model as a struct, which QUORV_PREDICT classifies with and
%   QUORV_WRITE_MODEL saves in the model file the tool and Python read.
%
%   MODEL = QUORV_FIT(X, y, NAME, VALUE, ...) sets options (names in any
%   case), each as the tool's option of the same meaning:
%     'Vigilance'        in [0, 1]; higher makes smaller boxes (0.75).
%     'MinSize'          least box size, in [0, M*(1-vigilance)] (0).
%     'LearningRate'     in (0, 1]; 1 is fast learning (1).
%     'Epsilon'          learning tolerance, >= 0 (0.001).
%     'MaxPresentations' most list presentations, >= 1 (100; a forest's
%                        members 3).
%     'Trim'             true: leave out nodes the last presentation never
%                        selected (false; a forest's members true).
%     'Scale'            false: keep raw feature values (true).
%     'Shuffle'          true: train on the rows in a seeded order (false).
%     'Seed'             seed of 'Shuffle' and 'Votes', a whole number from 0
%                        to 2^62-1 (1); give seeds above 2^53 as int64.
%     'Votes'            N models on N shuffles (seeds S, S+1, ...), or a
%                        forest of N with the options below (1).
%     'MaxFeatures'      forest: each member's features, drawn without
%                        replacement: a fraction in (0, 1) or a count; as
%                        text the tool's forms: '0.5', '3', 'sqrt', 'log2'
%                        ('1.0': all). A number 1 is a count of one feature.
%     'MaxSamples'       forest: each member's rows, as 'MaxFeatures' but
%                        without 'sqrt' and 'log2' ('1.0': as many as X has).
%     'Bootstrap'        forest: false draws rows without replacement (true).
%     'MergeConflicts'   false presents patterns identical in what a training
%                        call sees but labelled differently as they are; by
%                        default (true) they become one pattern with their
%                        majority label, as `quorv train` does (--no-merge).
%     'FeatureNames'     cell array of M names (x0, x1, ... as Python names
%                        them); 'LabelName' the label's name ('label').
%     'Verbose'          QUORV_TRAIN's console detail, 0 to 4 (0).
%   Giving 'MaxFeatures', 'MaxSamples' or 'Bootstrap' makes a forest, which
%   needs 'Votes' of 2 or more. A forest fitted here with a seed is the
%   forest `quorv train --votes N --seed S` makes from the same rows.
%
%   X   N-by-M real matrix, one pattern per row.
%   y   N labels: whole numbers (each its own class code), other numbers,
%       or a cell array of names (coded 1, 2, ... in the byte order of the
%       names, as the tool codes text labels).
%
%   Example:
%     D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%     model = quorv_fit(D(:, 1:end-1), D(:, end), 'Vigilance', 0.9);
%     mean(quorv_predict(model, D(:, 1:end-1)) == D(:, end))
%
%   See also QUORV_PREDICT, QUORV_WRITE_MODEL, QUORV_READ_MODEL, QUORV.

if nargin < 2
  error('quorv_fit: usage: MODEL = quorv_fit(X, y, NAME, VALUE, ...)');
end
if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2 || isempty(X)
  error('quorv_fit: X must be a real N-by-M matrix with at least one row and column');
end
X = double(X);
if any(~isfinite(X(:)))
  error('quorv_fit: X must not hold NaN or Inf');
end
if ~isvector(y) || numel(y) ~= size(X, 1)
  error('quorv_fit: y must hold one label per row of X (%d), not %d', size(X, 1), numel(y));
end
if iscellstr(y)
  y = y(:);
elseif (isnumeric(y) || islogical(y)) && isreal(y)
  y = double(y(:));
else
  error('quorv_fit: y must hold numbers or be a cell array of names');
end
o = fit_options(varargin, size(X, 2));
[codes, class_codes, class_names] = quorv_model_mex('classes', y);
refuse_params(o, size(X, 2));
[Xs, lo, hi, wide] = quorv_model_mex('scaling', X, o.scale);
if wide > 0
  error('quorv_fit: feature %d spans too wide a range to scale (try ''Scale'', false)', wide);
end

model = struct('version', 1, 'feature_names', {o.feature_names}, 'label_name', o.label_name, ...
               'ignored', {cell(1, 0)}, 'class_codes', class_codes, 'class_names', {class_names}, ...
               'scaled', logical(o.scale), 'feature_min', lo, 'feature_max', hi, ...
               'vigilance', o.vigilance, 'min_size', o.min_size, 'learning_rate', o.learning_rate, ...
               'epsilon', o.epsilon, 'max_list_presentations', o.max_presentations, ...
               'trim_option', double(o.trim), 'training_patterns', size(X, 1), ...
               'shuffle_seed', int64(-1), 'members', [], 'forest', [], 'merged_patterns', 0, ...
               'missing_medians', zeros(1, 0), 'oob', zeros(1, 0));
if o.shuffle || o.votes > 1
  model.shuffle_seed = o.seed;
end
members = struct('templates', {}, 'labels', {}, 'list_presentations', {}, 'features', {});
if o.forest
  [sample_rows, features] = quorv_model_mex('amounts', o.max_samples, o.max_features, size(X, 1), size(X, 2));
  refuse_params(o, features);  % a member's boxes span its own features
  model.forest = struct('sample_rows', sample_rows, 'bootstrap', logical(o.bootstrap), 'features', features);
  for k = 1:o.votes
    [r, f] = quorv_model_mex('draw', size(X, 1), sample_rows, o.bootstrap, size(X, 2), features, o.seed, k);
    [members(k), merged] = train_member(Xs(r, f), codes(r), o, sprintf(' (member %d)', k), f);
    model.merged_patterns = model.merged_patterns + merged;
  end
else
  for k = 1:o.votes
    r = 1:size(X, 1);
    if model.shuffle_seed >= 0
      r = quorv_model_mex('shuffle', size(X, 1), model.shuffle_seed + (k - 1));
    end
    [members(k), merged] = train_member(Xs(r, :), codes(r), o, '', []);
    model.merged_patterns = model.merged_patterns + merged;
  end
end
model.members = members;
end

function [member, merged] = train_member(Xs, codes, o, who, features)
% Patterns identical in what this call sees but labelled differently become
% one, as the tool and Python present them (the core library's rule).
merged = 0;
if o.merge_conflicts
  [r, codes, merged] = quorv_model_mex('merge', Xs, codes);
  Xs = Xs(r, :);
end
[T, L, presentations] = quorv_train(Xs, codes, o.vigilance, o.min_size, o.learning_rate, ...
                                    o.epsilon, o.max_presentations, double(o.trim), o.verbose);
if isempty(L)
  error('quorv_fit: training made no nodes%s', who);
end
member = struct('templates', T, 'labels', L, 'list_presentations', presentations, 'features', features);
end

function refuse_params(o, features)
% The core library's ranges, worded with this function's option names.
[name, message] = quorv_model_mex('check', o.vigilance, o.min_size, o.learning_rate, o.epsilon, ...
                                  o.max_presentations, double(o.trim), features);
if ~isempty(name)
  names = {'vigilance', 'Vigilance'; 'min_size', 'MinSize'; 'learning_rate', 'LearningRate'; ...
           'epsilon', 'Epsilon'; 'max_list_presentations', 'MaxPresentations'; 'trim_option', 'Trim'};
  option = names{strcmp(names(:, 1), name), 2};
  error('quorv_fit: ''%s'' %s', option, message(numel(name) + 2:end));
end
end

function o = fit_options(args, m)
o = struct('vigilance', 0.75, 'min_size', 0, 'learning_rate', 1, 'epsilon', 0.001, ...
           'max_presentations', [], 'trim', [], 'scale', true, 'shuffle', false, ...
           'seed', int64(1), 'votes', 1, 'max_features', '1.0', 'max_samples', '1.0', ...
           'bootstrap', true, 'verbose', 0, 'feature_names', {default_names(m)}, ...
           'label_name', 'label', 'forest', false, 'merge_conflicts', true);
fields = {'Vigilance', 'vigilance'; 'MinSize', 'min_size'; 'LearningRate', 'learning_rate'; ...
          'Epsilon', 'epsilon'; 'MaxPresentations', 'max_presentations'; 'Trim', 'trim'; ...
          'Scale', 'scale'; 'Shuffle', 'shuffle'; 'Seed', 'seed'; 'Votes', 'votes'; ...
          'MaxFeatures', 'max_features'; 'MaxSamples', 'max_samples'; 'Bootstrap', 'bootstrap'; ...
          'Verbose', 'verbose'; 'FeatureNames', 'feature_names'; 'LabelName', 'label_name'; ...
          'MergeConflicts', 'merge_conflicts'};
if mod(numel(args), 2) ~= 0
  error('quorv_fit: options come in NAME, VALUE pairs');
end
seed_given = false;
for k = 1:2:numel(args)
  at = find(strcmpi(args{k}, fields(:, 1)));
  if ~ischar(args{k}) || isempty(at)
    error('quorv_fit: unknown option ''%s''; options: %s', num2str(args{k}), strjoin(fields(:, 1)', ', '));
  end
  name = fields{at, 1};
  value = args{k + 1};
  switch name
    case {'Trim', 'Scale', 'Shuffle', 'Bootstrap', 'MergeConflicts'}
      if ~isscalar(value) || ~(islogical(value) || (isnumeric(value) && any(value == [0 1])))
        error('quorv_fit: ''%s'' must be true or false', name);
      end
      value = logical(value);
    case {'MaxFeatures', 'MaxSamples'}
      value = amount_text(value, name);
      o.forest = true;
    case 'FeatureNames'
      if ~iscellstr(value) || numel(value) ~= m
        error('quorv_fit: ''FeatureNames'' must be a cell array of %d names, one per column of X', m);
      end
      value = value(:)';
    case 'LabelName'
      if ~ischar(value)
        error('quorv_fit: ''LabelName'' must be text');
      end
    case 'Seed'
      value = whole(value, name, 0);
      seed_given = true;
    case 'Votes'
      value = double(whole(value, name, 1));
      if value > 1000
        error('quorv_fit: ''Votes'' must be a whole number from 1 to 1000');
      end
    case {'MaxPresentations', 'Verbose'}
      value = double(whole(value, name, 0));
    otherwise
      if ~isnumeric(value) || ~isreal(value) || ~isscalar(value)
        error('quorv_fit: ''%s'' must be a real number', name);
      end
      value = double(value);
  end
  if strcmp(name, 'Bootstrap')
    o.forest = true;
  end
  o.(fields{at, 2}) = value;
end
if o.forest && o.votes < 2
  error(['quorv_fit: ''MaxFeatures'', ''MaxSamples'' and ''Bootstrap'' make a forest, ' ...
         'which needs ''Votes'' N (N >= 2 members)']);
end
if seed_given && ~o.shuffle && o.votes < 2
  error('quorv_fit: ''Seed'' needs ''Shuffle'' or ''Votes''');
end
% A forest's members have defaults of their own, the tool's and Python's.
[presentations, trim] = quorv_model_mex('defaults', o.forest);
if isempty(o.max_presentations)
  o.max_presentations = presentations;
end
if isempty(o.trim)
  o.trim = logical(trim);
end
end

function v = whole(value, name, lo)
% Whole numbers as int64, so that seeds above 2^53 keep every bit.
if ~isscalar(value) || ~(isnumeric(value) && isreal(value)) || value ~= fix(value) || value < lo ...
   || (isfloat(value) && abs(value) > 2^53)
  error('quorv_fit: ''%s'' must be a whole number >= %d (above 2^53 give it as int64)', name, lo);
end
v = int64(value);
end

function text = amount_text(value, name)
% Numbers in the tool's text: a fraction has a decimal point, a count none.
if ischar(value) && (isrow(value) || isempty(value))
  text = value;
elseif isnumeric(value) && isreal(value) && isscalar(value) && value == fix(value) && value >= 1
  text = sprintf('%d', value);
elseif isnumeric(value) && isreal(value) && isscalar(value) && value > 0 && value < 1
  text = sprintf('%.17g', value);
else
  error('quorv_fit: ''%s'' must be a fraction in (0, 1), a count >= 1 or text such as ''0.5''', name);
end
end

function names = default_names(m)
names = arrayfun(@(j) sprintf('x%d', j), 0:m - 1, 'UniformOutput', false);
end

%!shared X, y
%! X = [0 0; 0.1 0.1; 0.9 0.9; 1 1; 0.05 0.1; 0.95 0.9];
%! y = [1; 1; 2; 2; 1; 2];

%!test
%! m = quorv_fit (X, y);
%! assert (m.class_codes, [1; 2]);
%! assert (m.class_names, {'1'; '2'});
%! assert (m.vigilance, 0.75);
%! assert (m.shuffle_seed, int64 (-1));
%! assert (numel (m.members), 1);
%! assert (quorv_predict (m, X), y);

%!test
%! % Text labels are coded in the byte order of their names.
%! m = quorv_fit (X, {'b'; 'b'; 'a'; 'a'; 'b'; 'a'});
%! assert (m.class_names, {'a'; 'b'});
%! assert (quorv_predict (m, [0 0; 1 1]), {'b'; 'a'});

%!test
%! % Votes over shuffles, and a forest whose members see their own features.
%! m = quorv_fit (X, y, 'Votes', 3, 'Seed', 7);
%! assert (m.shuffle_seed, int64 (7));
%! assert (numel (m.members), 3);
%! assert (isempty (m.forest));
%! f = quorv_fit (X, y, 'Votes', 4, 'MaxFeatures', 1, 'Bootstrap', false);
%! assert (f.forest.features, 1);
%! assert (f.forest.bootstrap, false);
%! assert (all (arrayfun (@(k) numel (f.members(k).features), 1:4) == 1));
%! assert (quorv_predict (f, X), y);

%!error <'Vigilance' 2 is not a number in \[0, 1\]> quorv_fit ([0 0; 1 1], [1; 2], 'Vigilance', 2)
%!error <'Vigilance' nan is not a number in \[0, 1\]> quorv_fit ([0 0; 1 1], [1; 2], 'Vigilance', NaN)
%!error <make a forest, which needs 'Votes'> quorv_fit ([0 0; 1 1], [1; 2], 'MaxFeatures', 1)
%!error <'Seed' needs 'Shuffle' or 'Votes'> quorv_fit ([0 0; 1 1], [1; 2], 'Seed', 3)
%!error <unknown option 'Vigilence'> quorv_fit ([0 0; 1 1], [1; 2], 'Vigilence', 0.5)
%!error <one label per row of X \(2\), not 3> quorv_fit ([0 0; 1 1], [1; 2; 3])
%!error <X must not hold NaN> quorv_fit ([0 NaN; 1 1], [1; 2])
%!error <y must hold numbers or be a cell array> quorv_fit ([0 0; 1 1], ['a'; 'b'])
%!error <y must not hold NaN> quorv_fit ([0 0; 1 1], [1; NaN])
%!error <MaxFeatures: 3 is more than the 2 features> quorv_fit ([0 0; 1 1], [1; 2], 'Votes', 2, 'MaxFeatures', 3)
