function file = quorv_data(name)
%QUORV_DATA  Full name of a data set that comes with Quorv.
%   FILE = QUORV_DATA(NAME) gives the full name of the bundled file NAME, for
%   example QUORV_DATA('iris.csv'), wherever Quorv sits: in a checkout
%   (data/ beside the matlab folder), in the installed Octave package or in
%   the Windows folder (data/ beside this file). QUORV_DATA alone gives the
%   folder. The files are CSV with one header row, the class in the last
%   column:
%      D = dlmread(quorv_data('iris.csv'), ',', 1, 0);
%
%   See also QUORV_DEMO, QUORV_TRAIN, QUORV_PERF.

here = fileparts(mfilename('fullpath'));
% Beside this file when installed or shipped, one folder up in a checkout.
places = {fullfile(here, 'data'), fullfile(fileparts(here), 'data')};
if nargin < 1
  name = '';
end
for k = 1:numel(places)
  file = fullfile(places{k}, name);
  if exist(file, 'file')  % a folder counts too, for QUORV_DATA alone
    return;
  end
end
error('quorv_data: no %s in %s or %s', name, places{:});
end
