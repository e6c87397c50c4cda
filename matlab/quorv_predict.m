function labels = quorv_predict(model, X, varargin)
%QUORV_PREDICT  Classify patterns with a Quorv model, as `quorv classify` does.
%   LABELS = QUORV_PREDICT(MODEL, X) scales X by the model's training ranges
%   and gives each row of X a label by the tool's one classification rule:
%   the label of the box that takes it at the vigilance; for a row no box
%   takes, the nearest box (a pass at vigilance 0); members vote, a forest
%   by its members' answers. MODEL comes from QUORV_FIT or QUORV_READ_MODEL;
%   X has one column per feature of the model, in its order.
%
%   LABELS is a column: numbers when the classes are numbers, else a cell
%   array of class names.
%
%   LABELS = QUORV_PREDICT(MODEL, X, NAME, VALUE, ...) sets options:
%     'Vigilance'     in [0, 1] (default: the value used in training).
%     'Unclassified'  'nearest' (default): rows no box takes get the nearest
%                     box's label; 'unknown': they get the unknown label.
%     'UnknownLabel'  the label of rows left unclassified, a whole number
%                     no class uses (default -1, or the first whole number
%                     below it that is no class, by value or name).
%
%   The members are classified by the QUORV_PERF plug-in, which must be on
%   the path beside this function.
%
%   Example:
%     D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%     model = quorv_fit(D(:, 1:end-1), D(:, end));
%     guess = quorv_predict(model, D(1:5, 1:end-1), 'Unclassified', 'unknown')
%
%   See also QUORV_FIT, QUORV_READ_MODEL, QUORV_PERF, QUORV.

if nargin < 2
  error('quorv_predict: usage: LABELS = quorv_predict(MODEL, X, NAME, VALUE, ...)');
end
if ~isstruct(model) || ~isscalar(model) || ~isfield(model, 'members')
  error('quorv_predict: MODEL must be a model struct from quorv_fit or quorv_read_model');
end
if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2
  error('quorv_predict: X must be a real matrix, one pattern per row');
end
X = double(X);
if any(~isfinite(X(:)))
  error('quorv_predict: X must not hold NaN or Inf');
end
if size(X, 2) ~= numel(model.feature_names)
  error('quorv_predict: X must have %d columns, one per feature of the model (it has %d)', ...
        numel(model.feature_names), size(X, 2));
end
[vigilance, nearest, unknown] = predict_options(varargin, model);
[labels, names] = quorv_model_mex('classify', model, X, vigilance, nearest, unknown, 0);
if iscell(names)  % named classes: the names, as the tool writes them
  labels = names;
end
end

function [vigilance, nearest, unknown] = predict_options(args, model)
vigilance = model.vigilance;
nearest = true;
unknown = [];
if mod(numel(args), 2) ~= 0
  error('quorv_predict: options come in NAME, VALUE pairs');
end
for k = 1:2:numel(args)
  name = args{k};
  value = args{k + 1};
  if ~ischar(name)
    name = '?';
  end
  switch lower(name)
    case 'vigilance'
      if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value >= 0 && value <= 1)
        error('quorv_predict: ''Vigilance'' must be a number in [0, 1]');
      end
      vigilance = double(value);
    case 'unclassified'
      if ~ischar(value) || ~any(strcmp(value, {'nearest', 'unknown'}))
        error('quorv_predict: ''Unclassified'' must be ''nearest'' or ''unknown''');
      end
      nearest = strcmp(value, 'nearest');
    case 'unknownlabel'
      if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || value ~= fix(value) ...
         || abs(value) > 2^31 - 1
        error('quorv_predict: ''UnknownLabel'' must be a whole number');
      end
      unknown = double(value);
      if any(model.class_codes == unknown) || any(strcmp(model.class_names, sprintf('%d', unknown)))
        error('quorv_predict: ''UnknownLabel'' %d is a class label of the model; choose a label no class uses', ...
              unknown);
      end
    otherwise
      error('quorv_predict: unknown option ''%s''; options: Vigilance, Unclassified, UnknownLabel', name);
  end
end
if isempty(unknown)
  % The tool's rule, from the core library.
  unknown = quorv_model_mex('unknown_label', model.class_codes, model.class_names);
end
end

%!shared m, P
%! m = quorv_fit ([0 0; 0.1 0.1; 0.9 0.9; 1 1], [1; 1; 2; 2], 'Vigilance', 0.8);
%! P = [0.05 0.05; 0.95 0.95; 0.4 0.4; 0.7 0.7];

%!test
%! % The nearest box takes what no box takes at the vigilance, unless asked not to.
%! assert (quorv_predict (m, P), [1; 2; 1; 2]);
%! assert (quorv_predict (m, P, 'Unclassified', 'unknown'), [1; 2; -1; -1]);
%! assert (quorv_predict (m, P, 'Unclassified', 'unknown', 'UnknownLabel', 0), [1; 2; 0; 0]);
%! assert (quorv_predict (m, P, 'Vigilance', 0, 'Unclassified', 'unknown'), [1; 2; 1; 2]);
%! assert (quorv_predict (m, zeros (0, 2)), zeros (0, 1));

%!test
%! % -1 is a class: the unknown label moves below it.
%! n = quorv_fit ([0 0; 1 1], [-1; 2], 'Vigilance', 0.9);
%! assert (quorv_predict (n, [0.5 0.5], 'Unclassified', 'unknown'), -2);

%!test
%! % Named classes answer by name, the unknown label as its number.
%! n = quorv_fit ([0 0; 1 1], {'low'; 'high'}, 'Vigilance', 0.9);
%! assert (quorv_predict (n, [0 0; 0.5 0.5; 1 1], 'Unclassified', 'unknown', 'UnknownLabel', 7), ...
%!         {'low'; '7'; 'high'});

%!error <'UnknownLabel' 2 is a class label> quorv_predict (m, P, 'UnknownLabel', 2)
%!error <X must have 2 columns> quorv_predict (m, [1 2 3])
%!error <'Unclassified' must be> quorv_predict (m, P, 'Unclassified', 'drop')
